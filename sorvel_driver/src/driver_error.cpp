#include "sorvel/driver/driver_error.hpp"

#include <array>
#include <cstring>

namespace sorvel {

namespace {
struct TransferErrorText {
  std::string_view name;
  std::string_view message;
};
constexpr std::array<TransferErrorText, 5> kTransferErrors{{
    {"Cancelled", "transfer was cancelled"},
    {"Stall", "endpoint STALL condition"},
    {"Disconnected", "device disconnected"},
    {"Fault", "hardware fault or protocol violation"},
    {"Unknown", "unknown error"},
}};

constexpr std::array<std::string_view, 12> kKindNames{
    "SerialPortError",     "SerialTransferError",    "ReportError",          "PairingTimeout",
    "TrackersNotReady",    "ReceiverConnectionLost", "ReceiverNotConnected", "TrackersNotConnected",
    "TrackerNotConnected", "ResponseTimeout",        "UpdateFailed",         "CommandFailed",
};
}  // namespace

std::string_view name(TransferError error) {
  return kTransferErrors[static_cast<std::size_t>(error)].name;
}

std::string_view message(TransferError error) {
  return kTransferErrors[static_cast<std::size_t>(error)].message;
}

SystemError system_error_from_errno(int code) {
  return {code, std::strerror(code)};
}

std::string DriverError::message() const {
  switch (kind_) {
    case Kind::SerialPortError:
      return "serial port error: " + system_error().message;
    case Kind::SerialTransferError:
      return fmt::format("serial transfer error: {}", sorvel::message(transfer_error()));
    case Kind::ReportError:
      return "usb report parse error";
    case Kind::PairingTimeout:
      return "pairing process timeout";
    case Kind::TrackersNotReady:
      return "trackers not ready, please check tracker status";
    case Kind::ReceiverConnectionLost:
      return "connection to receiver is lost.";
    case Kind::ReceiverNotConnected:
      return "host is not connected to receiver.";
    case Kind::TrackersNotConnected:
      return "host is not connected to trackers.";
    case Kind::TrackerNotConnected:
      return fmt::format("Tracker {} is not connected.", body_part());
    case Kind::ResponseTimeout:
      return "response of command timeout.";
    case Kind::UpdateFailed:
      return fmt::format("update process failed with reason {}", failure_reason());
    case Kind::CommandFailed:
      return "Execution of a command failed with a reason: " + text();
  }
  return {};
}

std::string DriverError::debug() const {
  const std::string_view kind = kKindNames[static_cast<std::size_t>(kind_)];
  switch (kind_) {
    case Kind::SerialPortError:
      return fmt::format("{}({})", kind, system_error());
    case Kind::SerialTransferError:
      return fmt::format("{}({})", kind, transfer_error());
    case Kind::ReportError:
      return fmt::format("{}({})", kind, wire_error());
    case Kind::TrackerNotConnected:
      return fmt::format("{}({})", kind, body_part());
    case Kind::UpdateFailed:
      return fmt::format("{}({})", kind, failure_reason());
    case Kind::CommandFailed:
      return fmt::format("{}(\"{}\")", kind, text());
    default:
      return std::string(kind);
  }
}

}  // namespace sorvel
