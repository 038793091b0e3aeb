// Losing the receiver through libusb: unplugged while streaming or pairing, stalled endpoints.
#include "usbfs_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;

class UsbfsLoss : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

bool in_history(const UsbfsDriver& kit, const std::string& what) {
  const auto history = kit.state().history;
  return std::find(history.begin(), history.end(), what) != history.end();
}

TEST_F(UsbfsLoss, UnpluggingWhileStreamingIsOneLossAndEndsTheWaitUnderWay) {
  simulator::Scenario scenario;
  scenario.rate_hz = 500;
  scenario.trackers.push_back(
      {TrackerAddress{{1, 1, 1, 1, 1, 1}}, BodyPart::Head, {1, 0, 0}, simulator::Announce::Silent});
  HostTimeouts slow = fast_timeouts();
  slow.per_tracker = std::chrono::minutes(5);  // the real pairing deadline
  UsbfsDriver kit(scenario, slow);
  ASSERT_TRUE(kit.connect({BodyPart::Chest}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  ASSERT_TRUE(eventually([&] { return kit.poll().has_value() && kit.poll()->at(0).second; }));
  // A re-pairing whose silent second Head tracker keeps it waiting.
  auto pairing = runtime::spawn(kit.driver->connect({BodyPart::Head, BodyPart::Hips}));
  ASSERT_TRUE(eventually([&] { return kit.state().history.back() == "Initiate"; }));

  const auto unplugged = std::chrono::steady_clock::now();
  kit.receiver->unplug();
  auto result = pairing.wait();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->error(), DriverError::receiver_connection_lost());
  EXPECT_LT(std::chrono::steady_clock::now() - unplugged, 1s);
  ASSERT_TRUE(eventually([&] {
    return count_lines(log::kUsbTarget, "USB read report thread stopped.") == 1 &&
           count_lines(log::kUsbTarget, "USB read response thread stopped.") == 1;
  }));
  EXPECT_EQ(count_lines(log::kHostTarget, "Reciever is disconnected with error "), 1u);
  EXPECT_TRUE(logged(log::kHostTarget,
                     "Reciever is disconnected with error SerialTransferError(Disconnected)."));
  EXPECT_EQ(kit.poll().error(), PollFailure::NoData);
  EXPECT_EQ(run(kit.driver->start()).error(),
            DriverError::serial_transfer(TransferError::Disconnected));
}

TEST_F(UsbfsLoss, UnpluggingDuringEachStageOfPairingFailsItAtOnce) {
  struct Stage {
    std::string trigger;
    std::uint32_t delay_ms;
    bool ready_to_report;
  };
  for (const Stage& stage : {Stage{"TrackerSoftReset", 0, true}, Stage{"Initiate", 0, true},
                             Stage{"Initiate", 40, false}}) {  // waiting for ReadyToReport
    log::capture().clear();
    simulator::Scenario scenario;
    scenario.ready_to_report = stage.ready_to_report;
    simulator::ScriptAction unplug;
    unplug.on = stage.trigger;
    unplug.delay_ms = stage.delay_ms;
    unplug.unplug = true;
    scenario.script = {unplug};
    HostTimeouts slow = fast_timeouts();
    slow.per_tracker = slow.ready = std::chrono::minutes(5);
    UsbfsDriver kit(scenario, slow);
    const auto started = std::chrono::steady_clock::now();
    const auto result = kit.connect({BodyPart::Head, BodyPart::Hips});
    EXPECT_EQ(result.error(), DriverError::receiver_connection_lost()) << stage.trigger;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << stage.trigger;
    EXPECT_TRUE(eventually([&] {
      return count_lines(log::kHostTarget, "Reciever is disconnected with error ") == 1;
    })) << stage.trigger;
    EXPECT_EQ(std::string(status_text(*kit.driver->status())), "not connected");
  }
}

TEST_F(UsbfsLoss, AStallOnEitherInEndpointLosesTheReceiverOnce) {
  for (const std::uint8_t endpoint : {0x81, 0x82}) {
    log::capture().clear();
    simulator::Scenario scenario;
    simulator::ScriptAction stall;
    stall.on = "Go";
    stall.fail = simulator::ScriptedFailure{endpoint, TransferError::Stall};
    scenario.script = {stall};
    UsbfsDriver kit(scenario);
    ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
    (void)kit.start();  // its answer may or may not get through before the stall
    EXPECT_TRUE(eventually([&] { return !kit.driver->host()->receiver_connected(); }))
        << int(endpoint);
    EXPECT_TRUE(eventually([&] {
      return logged(log::kHostTarget,
                    "Reciever is disconnected with error SerialTransferError(Stall).");
    })) << int(endpoint);
    EXPECT_EQ(count_lines(log::kHostTarget, "Reciever is disconnected with error "), 1u);
    EXPECT_TRUE(in_history(kit, "Go"));
    kit.receiver->unplug();
  }
}

}  // namespace
}  // namespace sorvel
