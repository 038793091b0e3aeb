#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "sorvel/driver/driver_error.hpp"

namespace sorvel {
namespace {

namespace fr = protocol::failure_reason;

TEST(DriverError, MessageAndDebugTextOfEveryKind) {
  struct Case {
    DriverError error;
    std::string message;
    std::string debug;
  };
  const std::vector<Case> cases{
      {DriverError::serial_port({13, "Permission denied"}), "serial port error: Permission denied",
       R"(SerialPortError(Os { code: 13, message: "Permission denied" }))"},
      {DriverError::serial_transfer(TransferError::Disconnected),
       "serial transfer error: device disconnected", "SerialTransferError(Disconnected)"},
      {DriverError::serial_transfer(TransferError::Stall),
       "serial transfer error: endpoint STALL condition", "SerialTransferError(Stall)"},
      {DriverError::report(protocol::WireError::DeserializeBadVarint), "usb report parse error",
       "ReportError(DeserializeBadVarint)"},
      {DriverError::pairing_timeout(), "pairing process timeout", "PairingTimeout"},
      {DriverError::trackers_not_ready(), "trackers not ready, please check tracker status",
       "TrackersNotReady"},
      {DriverError::receiver_connection_lost(), "connection to receiver is lost.",
       "ReceiverConnectionLost"},
      {DriverError::receiver_not_connected(), "host is not connected to receiver.",
       "ReceiverNotConnected"},
      {DriverError::trackers_not_connected(), "host is not connected to trackers.",
       "TrackersNotConnected"},
      {DriverError::tracker_not_connected(BodyPart::LeftFoot), "Tracker LeftFoot is not connected.",
       "TrackerNotConnected(LeftFoot)"},
      {DriverError::response_timeout(), "response of command timeout.", "ResponseTimeout"},
      {DriverError::update_failed(fr::DecompressError{7}),
       "update process failed with reason DecompressError(7)", "UpdateFailed(DecompressError(7))"},
      {DriverError::update_failed(fr::TrackerNotReady{BodyPart::Chest}),
       "update process failed with reason TrackerNotReady(Chest)",
       "UpdateFailed(TrackerNotReady(Chest))"},
      {DriverError::update_failed(fr::FlashError{-3}),
       "update process failed with reason FlashError(-3)", "UpdateFailed(FlashError(-3))"},
      {DriverError::command_failed(""),
       "Execution of a command failed with a reason: ", R"(CommandFailed(""))"},
      {DriverError::command_failed("group has more than 15 body parts"),
       "Execution of a command failed with a reason: group has more than 15 body parts",
       R"(CommandFailed("group has more than 15 body parts"))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
    EXPECT_EQ(fmt::format("{}", c.error), c.debug);
  }
}

TEST(TransferError, TextsOfEveryKind) {
  const std::vector<std::pair<TransferError, std::string_view>> cases{
      {TransferError::Cancelled, "transfer was cancelled"},
      {TransferError::Stall, "endpoint STALL condition"},
      {TransferError::Disconnected, "device disconnected"},
      {TransferError::Fault, "hardware fault or protocol violation"},
      {TransferError::Unknown, "unknown error"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(message(error), text);
}

TEST(SystemError, CarriesTheSystemTextOfItsCode) {
  const SystemError error = system_error_from_errno(EBUSY);
  EXPECT_EQ(error.code, EBUSY);
  EXPECT_EQ(error.message, "Device or resource busy");
}

}  // namespace
}  // namespace sorvel
