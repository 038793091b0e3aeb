#pragma once
// Receiver-to-host messages: answers to commands and unsolicited tracker events, each decoded
// from the start of one transfer on the response endpoint.
//
// Records live in `sorvel::protocol`, the alternatives of `Response` in `response`, where several
// share a name with the record they carry.

#include <array>
#include <cstdint>
#include <string_view>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/protocol/failure_reason.hpp"
#include "sorvel/protocol/semver.hpp"
#include "sorvel/protocol/unit_variant.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel::protocol {

// Enumerations --------------------------------------------------------------------------------

/// The update state of one tracker slot.
enum class UpdateStatus : std::uint8_t {
  NotIncluded,
  NotPrepared,
  WritingImage,
  Finalizing,
  ImageDecompressed,
  Failed,
  Finished,
};

template <>
struct EnumNames<UpdateStatus> {
  static constexpr std::array<std::string_view, 7> kNames{
      "NotIncluded",       "NotPrepared", "WritingImage", "Finalizing",
      "ImageDecompressed", "Failed",      "Finished",
  };
};

enum class ButtonState : std::uint8_t { Pressed, Released };

template <>
struct EnumNames<ButtonState> {
  static constexpr std::array<std::string_view, 2> kNames{"Pressed", "Released"};
};

// Records -------------------------------------------------------------------------------------

/// The receiver's identity, the answer to `GetInfo`.
struct ReceiverInfo {
  TrackerAddress addr;
  SemVer version;

  static constexpr std::string_view kName = "ReceiverInfo";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("addr", self.addr);
    visit("version", self.version);
  }
  bool operator==(const ReceiverInfo&) const = default;
};

/// 72 chunk flags; `len` is a varint, `inner` is 9 raw bytes.
struct Bitmap {
  std::uint32_t len = 0;
  std::array<std::uint8_t, 9> inner{};

  static constexpr std::string_view kName = "Bitmap";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("len", self.len);
    visit("inner", self.inner);
  }
  bool operator==(const Bitmap&) const = default;
};

/// Which chunks of a page are still missing.
struct MissingChunk {
  std::uint8_t page_id = 0;
  Bitmap bitmap;

  static constexpr std::string_view kName = "MissingChunk";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("page_id", self.page_id);
    visit("bitmap", self.bitmap);
  }
  bool operator==(const MissingChunk&) const = default;
};

/// A duration in milliseconds; on the wire just its varint.
struct Millis {
  std::uint32_t value = 0;

  static constexpr std::string_view kName = "Millis";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("0", self.value);
  }
  bool operator==(const Millis&) const = default;
};

/// A tracker's stored settings.
struct TrackerConfigRecord {
  TrackerAddress receiver;  // the receiver the tracker belongs to
  std::int8_t wifi_tx_power = 0;
  std::uint8_t wifi_channel = 0;
  std::uint32_t wireless_retry = 0;
  Millis lag_tolerant;
  std::uint8_t sensor_variant = 0;
  std::uint8_t index = 0;
  std::uint16_t battery = 0;

  static constexpr std::string_view kName = "Config";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("receiver", self.receiver);
    visit("wifi_tx_power", self.wifi_tx_power);
    visit("wifi_channel", self.wifi_channel);
    visit("wireless_retry", self.wireless_retry);
    visit("lag_tolerant", self.lag_tolerant);
    visit("sensor_variant", self.sensor_variant);
    visit("index", self.index);
    visit("battery", self.battery);
  }
  bool operator==(const TrackerConfigRecord&) const = default;
};

/// The receiver's stored settings.
struct ReceiverConfigRecord {
  std::int8_t wifi_tx_power = 0;
  std::uint8_t wifi_channel = 0;
  std::uint16_t padding = 0;
  std::uint32_t wireless_retry = 0;
  Millis lag_tolerant;

  static constexpr std::string_view kName = "Config";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("wifi_tx_power", self.wifi_tx_power);
    visit("wifi_channel", self.wifi_channel);
    visit("padding", self.padding);
    visit("wireless_retry", self.wireless_retry);
    visit("lag_tolerant", self.lag_tolerant);
  }
  bool operator==(const ReceiverConfigRecord&) const = default;
};

// Responses -----------------------------------------------------------------------------------

namespace response {

// Payload shapes shared by several variants; a tag gives each variant its name.

/// A variant whose only payload is the body part of the tracker it is about.
template <typename Tag>
struct AboutTracker {
  BodyPart part = BodyPart::LeftLowerArm;

  static constexpr std::string_view kName = Tag::kName;
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
  }
  bool operator==(const AboutTracker&) const = default;
};

/// A tracker's address, body part and firmware version.
template <typename Tag>
struct TrackerIdentity {
  TrackerAddress addr;
  BodyPart part = BodyPart::LeftLowerArm;
  SemVer version;

  static constexpr std::string_view kName = Tag::kName;
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("addr", self.addr);
    visit("part", self.part);
    visit("version", self.version);
  }
  bool operator==(const TrackerIdentity&) const = default;
};

/// A tracker's body part and one byte of progress or state.
template <typename Tag>
struct TrackerByte {
  BodyPart part = BodyPart::LeftLowerArm;
  std::uint8_t value = 0;

  static constexpr std::string_view kName = Tag::kName;
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
    visit("value", self.value);
  }
  bool operator==(const TrackerByte&) const = default;
};

SORVEL_UNIT_VARIANT(ReadyToReport);

struct ReceiverInfo {
  protocol::ReceiverInfo info;

  static constexpr std::string_view kName = "ReceiverInfo";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("info", self.info);
  }
  bool operator==(const ReceiverInfo&) const = default;
};

struct TrackerDiscoveredTag {
  static constexpr std::string_view kName = "TrackerDiscovered";
};
using TrackerDiscovered = TrackerIdentity<TrackerDiscoveredTag>;
struct TrackerReconnectedTag {
  static constexpr std::string_view kName = "TrackerReconnected";
};
using TrackerReconnected = AboutTracker<TrackerReconnectedTag>;
struct TrackerReadyToUpdateTag {
  static constexpr std::string_view kName = "TrackerReadyToUpdate";
};
using TrackerReadyToUpdate = AboutTracker<TrackerReadyToUpdateTag>;
struct TrackerUpdateFinishedTag {
  static constexpr std::string_view kName = "TrackerUpdateFinished";
};
using TrackerUpdateFinished = AboutTracker<TrackerUpdateFinishedTag>;
struct TrackerUpdateProgressTag {
  static constexpr std::string_view kName = "TrackerUpdateProgress";
};
using TrackerUpdateProgress = TrackerByte<TrackerUpdateProgressTag>;
struct IncompatibleTrackerTag {
  static constexpr std::string_view kName = "IncompatibleTracker";
};
using IncompatibleTracker = TrackerIdentity<IncompatibleTrackerTag>;

struct RepeatedTracker {
  TrackerAddress addr;
  BodyPart part = BodyPart::LeftLowerArm;

  static constexpr std::string_view kName = "RepeatedTracker";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("addr", self.addr);
    visit("part", self.part);
  }
  bool operator==(const RepeatedTracker&) const = default;
};

struct ConnectionLostTag {
  static constexpr std::string_view kName = "ConnectionLost";
};
using ConnectionLost = AboutTracker<ConnectionLostTag>;
SORVEL_UNIT_VARIANT(Failed);
SORVEL_UNIT_VARIANT(ReadyToUpdate);

struct MissingChunk {
  protocol::MissingChunk missing;

  static constexpr std::string_view kName = "MissingChunk";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("missing", self.missing);
  }
  bool operator==(const MissingChunk&) const = default;
};

SORVEL_UNIT_VARIANT(ImageSaved);
SORVEL_UNIT_VARIANT(SkipWritingImage);

struct UpdateFailed {
  FailureReason reason;

  static constexpr std::string_view kName = "UpdateFailed";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("reason", self.reason);
  }
  bool operator==(const UpdateFailed&) const = default;
};

SORVEL_UNIT_VARIANT(SendingTrackerImage);
SORVEL_UNIT_VARIANT(SoftResetDone);

struct TrackerConfig {
  BodyPart part = BodyPart::LeftLowerArm;
  TrackerConfigRecord config;

  static constexpr std::string_view kName = "TrackerConfig";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
    visit("config", self.config);
  }
  bool operator==(const TrackerConfig&) const = default;
};

struct TrackerConfigWriteTag {
  static constexpr std::string_view kName = "TrackerConfigWrite";
};
using TrackerConfigWrite = AboutTracker<TrackerConfigWriteTag>;
SORVEL_UNIT_VARIANT(ReceiverConfigWrite);

struct TrackerUpdateFailed {
  BodyPart part = BodyPart::LeftLowerArm;
  FailureReason reason;

  static constexpr std::string_view kName = "TrackerUpdateFailed";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
    visit("reason", self.reason);
  }
  bool operator==(const TrackerUpdateFailed&) const = default;
};

struct TrackerUpdateTimeout {
  /// One status per tracker slot.
  std::array<UpdateStatus, 15> statuses{};

  static constexpr std::string_view kName = "TrackerUpdateTimeout";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("statuses", self.statuses);
  }
  bool operator==(const TrackerUpdateTimeout&) const = default;
};

struct TrackerBiasUpdatedTag {
  static constexpr std::string_view kName = "TrackerBiasUpdated";
};
using TrackerBiasUpdated = TrackerByte<TrackerBiasUpdatedTag>;

struct ReceiverConfig {
  ReceiverConfigRecord config;

  static constexpr std::string_view kName = "ReceiverConfig";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("config", self.config);
  }
  bool operator==(const ReceiverConfig&) const = default;
};

struct ButtonEvent {
  BodyPart part = BodyPart::LeftLowerArm;
  ButtonState state = ButtonState::Pressed;

  static constexpr std::string_view kName = "ButtonEvent";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
    visit("state", self.state);
  }
  bool operator==(const ButtonEvent&) const = default;
};

struct GetPageChunks {
  std::uint8_t page = 0;

  static constexpr std::string_view kName = "GetPageChunks";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("page", self.page);
  }
  bool operator==(const GetPageChunks&) const = default;
};

struct DCDClearedTag {
  static constexpr std::string_view kName = "DCDCleared";
};
using DCDCleared = AboutTracker<DCDClearedTag>;
SORVEL_UNIT_VARIANT(PoweredOff);

}  // namespace response

/// Everything the receiver sends on its response endpoint; the alternative's position is its wire
/// index.
struct Response
    : Union<response::ReadyToReport, response::ReceiverInfo, response::TrackerDiscovered,
            response::TrackerReconnected, response::TrackerReadyToUpdate,
            response::TrackerUpdateFinished, response::TrackerUpdateProgress,
            response::IncompatibleTracker, response::RepeatedTracker, response::ConnectionLost,
            response::Failed, response::ReadyToUpdate, response::MissingChunk, response::ImageSaved,
            response::SkipWritingImage, response::UpdateFailed, response::SendingTrackerImage,
            response::SoftResetDone, response::TrackerConfig, response::TrackerConfigWrite,
            response::ReceiverConfigWrite, response::TrackerUpdateFailed,
            response::TrackerUpdateTimeout, response::TrackerBiasUpdated, response::ReceiverConfig,
            response::ButtonEvent, response::GetPageChunks, response::DCDCleared,
            response::PoweredOff> {
  using Union::Union;
};

}  // namespace sorvel::protocol
