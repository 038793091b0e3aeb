#pragma once
// The single error type of every fallible driver operation, with its message text (shown to
// Python) and its debug text (shown in log lines, through fmt).

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <fmt/format.h>

#include "sorvel/driver/system_error.hpp"
#include "sorvel/protocol/expected.hpp"
#include "sorvel/protocol/failure_reason.hpp"
#include "sorvel/protocol/wire_error.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel {

/// Why a USB transfer failed.
enum class TransferError : std::uint8_t { Cancelled, Stall, Disconnected, Fault, Unknown };

std::string_view name(TransferError error);
/// "transfer was cancelled", "endpoint STALL condition", ...
std::string_view message(TransferError error);

class DriverError {
 public:
  enum class Kind : std::uint8_t {
    SerialPortError,
    SerialTransferError,
    ReportError,
    PairingTimeout,
    TrackersNotReady,
    ReceiverConnectionLost,
    ReceiverNotConnected,
    TrackersNotConnected,
    TrackerNotConnected,
    ResponseTimeout,
    UpdateFailed,
    CommandFailed,
  };

  static DriverError serial_port(SystemError error) { return DriverError(std::move(error)); }
  static DriverError serial_transfer(TransferError error) { return DriverError(error); }
  static DriverError report(protocol::WireError error) { return DriverError(error); }
  static DriverError pairing_timeout() { return DriverError(Kind::PairingTimeout); }
  static DriverError trackers_not_ready() { return DriverError(Kind::TrackersNotReady); }
  static DriverError receiver_connection_lost() {
    return DriverError(Kind::ReceiverConnectionLost);
  }
  static DriverError receiver_not_connected() { return DriverError(Kind::ReceiverNotConnected); }
  static DriverError trackers_not_connected() { return DriverError(Kind::TrackersNotConnected); }
  static DriverError tracker_not_connected(BodyPart part) { return DriverError(part); }
  static DriverError response_timeout() { return DriverError(Kind::ResponseTimeout); }
  static DriverError update_failed(protocol::FailureReason reason) {
    return DriverError(std::move(reason));
  }
  static DriverError command_failed(std::string text) {
    return DriverError(Kind::CommandFailed, std::move(text));
  }

  Kind kind() const { return kind_; }
  /// The payload of the kinds that carry one; calling the wrong accessor is a programming error.
  const SystemError& system_error() const { return std::get<SystemError>(payload_); }
  TransferError transfer_error() const { return std::get<TransferError>(payload_); }
  protocol::WireError wire_error() const { return std::get<protocol::WireError>(payload_); }
  BodyPart body_part() const { return std::get<BodyPart>(payload_); }
  const protocol::FailureReason& failure_reason() const {
    return std::get<protocol::FailureReason>(payload_);
  }
  const std::string& text() const { return std::get<std::string>(payload_); }

  /// What a user sees: "pairing process timeout", "serial transfer error: device disconnected".
  std::string message() const;
  /// What log lines show: "PairingTimeout", "SerialTransferError(Disconnected)".
  std::string debug() const;

  bool operator==(const DriverError&) const = default;

 private:
  using Payload = std::variant<std::monostate, SystemError, TransferError, protocol::WireError,
                               BodyPart, protocol::FailureReason, std::string>;

  explicit DriverError(Kind kind) : kind_(kind) {}
  explicit DriverError(SystemError e) : kind_(Kind::SerialPortError), payload_(std::move(e)) {}
  explicit DriverError(TransferError e) : kind_(Kind::SerialTransferError), payload_(e) {}
  explicit DriverError(protocol::WireError e) : kind_(Kind::ReportError), payload_(e) {}
  explicit DriverError(BodyPart part) : kind_(Kind::TrackerNotConnected), payload_(part) {}
  explicit DriverError(protocol::FailureReason reason)
      : kind_(Kind::UpdateFailed), payload_(std::move(reason)) {}
  DriverError(Kind kind, std::string text) : kind_(kind), payload_(std::move(text)) {}

  Kind kind_;
  Payload payload_;
};

template <typename T>
using DriverResult = Expected<T, DriverError>;

}  // namespace sorvel

template <>
struct fmt::formatter<sorvel::TransferError> : fmt::formatter<std::string_view> {
  auto format(sorvel::TransferError error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(sorvel::name(error), ctx);
  }
};

/// `{}` prints the debug text, as log lines want it.
template <>
struct fmt::formatter<sorvel::DriverError> : fmt::formatter<std::string_view> {
  auto format(const sorvel::DriverError& error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(error.debug(), ctx);
  }
};
