#include <gtest/gtest.h>

#include "sorvel/driver/host/events.hpp"
#include "sorvel/log/capture.hpp"

namespace sorvel {
namespace {

TEST(HostEvents, EachEventHasItsLevelAndText) {
  const PairedTracker head{BodyPart::Head, TrackerAddress{{1, 2, 3, 4, 5, 6}}, {1, 0, 0}};
  struct Case {
    HostEvent event;
    log::Level level;
    std::string message;
  };
  const std::vector<Case> cases{
      {event::TrackerFound{head}, log::Level::Info,
       "Discovered tracker [1, 2, 3, 4, 5, 6] at Head with version SemVer { major: 1, minor: 0, "
       "patch: 0 }"},
      {event::TrackerFirmwareMismatch{head}, log::Level::Warn,
       "Tracker [1, 2, 3, 4, 5, 6] at Head has an incompatible firmware version SemVer { major: "
       "1, minor: 0, patch: 0 }"},
      {event::ReceiverFirmwareMismatch{{2, 0, 1}, {1, 9, 0, {}, {}}}, log::Level::Warn,
       "Receiver has incompatible version Version { major: 1, minor: 9, patch: 0 }"},
      {event::TrackerDuplicated{BodyPart::Chest}, log::Level::Error, "Tracker Chest is repeated"},
      {event::PairingFinished{{head}}, log::Level::Info, "Finished pairing with trackers"},
      {event::TrackerLost{BodyPart::LeftHand}, log::Level::Error,
       "Tracker LeftHand is disconnected."},
      {event::TrackerRestored{BodyPart::LeftHand}, log::Level::Info,
       "Tracker LeftHand is reconnected"},
      {event::ReceiverLost{DriverError::serial_transfer(TransferError::Disconnected)},
       log::Level::Error, "Reciever is disconnected with error SerialTransferError(Disconnected)."},
      {event::BiasChanged{BodyPart::Head, 0}, log::Level::Info, "Tracker Head bias is updated: 0"},
      {event::BiasChanged{BodyPart::Head, 5}, log::Level::Info,
       "Tracker Head bias is updated: 101"},
      {event::BiasChanged{BodyPart::Head, 255}, log::Level::Info,
       "Tracker Head bias is updated: 11111111"},
  };
  for (const auto& c : cases) {
    const EventLine line = event_line(c.event);
    EXPECT_EQ(line.level, c.level) << c.message;
    EXPECT_EQ(line.message, c.message);
  }
}

TEST(HostEvents, TheDefaultHandlerLogsUnderTheHostTargetOnlyWhenAdmitted) {
  auto& capture = log::capture();
  capture.clear();
  const auto handler = default_event_handler();
  log::set_threshold(log::Level::Error);
  (*handler)(event::TrackerRestored{BodyPart::Hips});
  (*handler)(event::TrackerLost{BodyPart::Hips});
  log::set_threshold(log::Level::Trace);
  EXPECT_EQ(capture.records(),
            (std::vector<log::CapturedRecord>{
                {log::Level::Error, "sorvel_driver::host", "Tracker Hips is disconnected."}}));
}

}  // namespace
}  // namespace sorvel
