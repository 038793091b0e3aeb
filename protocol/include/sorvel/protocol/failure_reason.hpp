#pragma once
// A failure reported by the receiver (update responses, and the driver error UpdateFailed).

#include <cstdint>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/protocol/unit_variant.hpp"

namespace sorvel::protocol {

namespace failure_reason {

SORVEL_UNIT_VARIANT(CanNotDowngrade);
SORVEL_UNIT_VARIANT(FirmwareCorrupted);
SORVEL_UNIT_VARIANT(PairingNotFinished);
SORVEL_UNIT_VARIANT(TrackersNotConnected);
SORVEL_UNIT_VARIANT(FinalizeTimeout);
SORVEL_UNIT_VARIANT(FinalizeError);
SORVEL_UNIT_VARIANT(ConnectionError);
SORVEL_UNIT_VARIANT(TrackerDisconnected);

struct FlashError {
  std::int32_t code = 0;
  static constexpr std::string_view kName = "FlashError";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("0", self.code);
  }
  bool operator==(const FlashError&) const = default;
};

struct DecompressError {
  std::int32_t code = 0;
  static constexpr std::string_view kName = "DecompressError";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("0", self.code);
  }
  bool operator==(const DecompressError&) const = default;
};

struct TrackerNotReady {
  BodyPart part = BodyPart::LeftLowerArm;
  static constexpr std::string_view kName = "TrackerNotReady";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("0", self.part);
  }
  bool operator==(const TrackerNotReady&) const = default;
};

}  // namespace failure_reason

/// Variant order is the wire index.
struct FailureReason : Union<failure_reason::CanNotDowngrade, failure_reason::FirmwareCorrupted,
                             failure_reason::FlashError, failure_reason::DecompressError,
                             failure_reason::PairingNotFinished,
                             failure_reason::TrackersNotConnected, failure_reason::FinalizeTimeout,
                             failure_reason::FinalizeError, failure_reason::ConnectionError,
                             failure_reason::TrackerNotReady, failure_reason::TrackerDisconnected> {
  using Union::Union;
};

}  // namespace sorvel::protocol
