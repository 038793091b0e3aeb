// Events from the response stream, losing the receiver, and dropping the driver.
#include "host_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

simulator::ScriptAction respond_on(std::string on, simulator::Bytes bytes,
                                   std::uint32_t delay_ms = 0) {
  simulator::ScriptAction action;
  action.on = std::move(on);
  action.delay_ms = delay_ms;
  action.response = std::move(bytes);
  return action;
}

TEST_F(Lifecycle, TrackerStatusResponsesBecomeLoggedEvents) {
  simulator::Scenario scenario;
  scenario.script = {respond_on("Go", {0x17, 0x04, 0x00}), respond_on("Go", {0x17, 0x04, 0xFF}),
                     respond_on("Go", {0x17, 0x0E, 0x05}), respond_on("Go", {0x03, 0x05}),
                     respond_on("Go", {0x09, 0x0A})};
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  const std::vector<log::CapturedRecord> expected{
      {log::Level::Info, "sorvel_driver::host", "Tracker Head bias is updated: 0"},
      {log::Level::Info, "sorvel_driver::host", "Tracker Head bias is updated: 11111111"},
      {log::Level::Info, "sorvel_driver::host", "Tracker RightFoot bias is updated: 101"},
      {log::Level::Info, "sorvel_driver::host", "Tracker Hips is reconnected"},
      {log::Level::Error, "sorvel_driver::host", "Tracker Chest is disconnected."},
  };
  for (const auto& record : expected) {
    EXPECT_TRUE(eventually([&] {
      const auto records = log::capture().records();
      return std::find(records.begin(), records.end(), record) != records.end();
    })) << record.message;
  }
}

TEST_F(Lifecycle, ATrackerLostDuringPairingIsLoggedAndNeverReachesThePairing) {
  simulator::Scenario scenario;
  scenario.script = {respond_on("Initiate", {0x09, 0x04})};  // ConnectionLost(Head), at once
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Hips}).has_value());
  EXPECT_TRUE(logged(log::kHostTarget, "Tracker Head is disconnected."));
  EXPECT_EQ(kit.driver->lost_trackers(), std::vector{BodyPart::Head}) << "lost in this pairing";
}

TEST_F(Lifecycle, LostTrackersFollowTheReceiverUntilTheNextPairing) {
  simulator::Scenario scenario;
  scenario.script = {respond_on("Go", {0x09, 0x0A})};  // ConnectionLost(Chest)
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Chest}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  EXPECT_TRUE(
      eventually([&] { return kit.driver->lost_trackers() == std::vector{BodyPart::Chest}; }));
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  EXPECT_TRUE(kit.driver->lost_trackers().empty());
}

TEST_F(Lifecycle, OnlyPairedTrackersAreListedLost) {
  simulator::Scenario scenario;
  // ConnectionLost for RightFoot and LeftHand, which are not paired, then for Head.
  scenario.script = {respond_on("Go", {0x09, 0x0E}), respond_on("Go", {0x09, 0x0B}),
                     respond_on("Go", {0x09, 0x04})};
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Hips}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  // Head's line comes last, after the list has been brought up to date.
  ASSERT_TRUE(
      eventually([&] { return logged(log::kHostTarget, "Tracker Head is disconnected."); }));
  EXPECT_EQ(kit.driver->lost_trackers(), std::vector{BodyPart::Head});
}

TEST_F(Lifecycle, UnpluggingWhileStreamingIsOneLossThenEveryUseFails) {
  simulator::Scenario scenario;
  scenario.rate_hz = 500;
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  ASSERT_TRUE(eventually([&] { return kit.poll().has_value() && kit.poll()->at(0).second; }));

  kit.backend->unplug();
  ASSERT_TRUE(eventually([&] {
    return count_lines(log::kUsbTarget, "USB read report thread stopped.") == 1 &&
           count_lines(log::kUsbTarget, "USB read response thread stopped.") == 1;
  }));
  EXPECT_EQ(count_lines(log::kHostTarget, "Reciever is disconnected with error "), 1u);
  const std::string loss = "Reciever is disconnected with error SerialTransferError(Disconnected).";
  EXPECT_TRUE(logged(log::kHostTarget, loss));
  // Each reader logs its own failed read (a reader whose read was in flight sees the unplug).
  EXPECT_LE(count_lines(log::kUsbTarget, "error receiving usb data: "), 1u);
  EXPECT_LE(count_lines(log::kUsbTarget, "error receiving usb response: "), 1u);
  EXPECT_GE(count_lines(log::kUsbTarget, "error receiving usb "), 1u);

  EXPECT_FALSE(kit.driver->host()->receiver_connected());
  EXPECT_EQ(kit.poll().error(), PollFailure::NoData) << "frames still queued do not count";
  EXPECT_EQ(run(kit.driver->connect({BodyPart::Head})).error(),
            DriverError::receiver_not_connected());
  EXPECT_EQ(run(kit.driver->start()).error(),
            DriverError::serial_transfer(TransferError::Disconnected));
}

TEST_F(Lifecycle, AWaitUnderWayEndsAtOnceWhenTheReceiverGoesAway) {
  simulator::Scenario scenario;
  scenario.trackers = {
      {TrackerAddress{{1, 1, 1, 1, 1, 1}}, BodyPart::Head, {1, 0, 0}, simulator::Announce::Silent}};
  HostTimeouts slow = fast_timeouts();
  slow.per_tracker = std::chrono::minutes(5);  // the real pairing deadline
  KitDriver kit(scenario, slow);
  auto pairing = runtime::spawn(kit.driver->connect({BodyPart::Head}));
  ASSERT_TRUE(eventually([&] {
    const auto history = kit.state().history;
    return std::find(history.begin(), history.end(), "Initiate") != history.end();
  }));
  const auto unplugged = std::chrono::steady_clock::now();
  kit.backend->unplug();
  auto result = pairing.wait();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->error(), DriverError::receiver_connection_lost());
  EXPECT_LT(std::chrono::steady_clock::now() - unplugged, 1s);
  EXPECT_EQ(kit.status(), "not connected");
}

TEST_F(Lifecycle, DroppingTheDriverReleasesTheReceiverForTheNextOne) {
  simulator::Scenario scenario;
  scenario.rate_hz = 500;
  auto kit = std::make_unique<KitDriver>(scenario);
  ASSERT_TRUE(kit->connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit->start().has_value());
  ASSERT_TRUE(eventually([&] { return kit->poll()->at(0).second; }));
  auto keep_plugged = kit->backend->list_devices();  // hold the kit to look at it afterwards
  auto& backend = *kit->backend;

  log::capture().clear();
  kit->driver.reset();  // the last holder lets go
  const auto state = backend.state();
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(state->claimed_interfaces.empty());
  EXPECT_EQ(state->pending_transfers, 0u);
  auto stopped = usb_lines();
  std::sort(stopped.begin(), stopped.end());  // the readers stop concurrently
  EXPECT_EQ(stopped, (std::vector<std::string>{"USB read report thread stopped.",
                                               "USB read response thread stopped."}))
      << "no error and no loss is reported for a deliberate close";
  EXPECT_TRUE(host_lines().empty());

  // A new driver on the same (still plugged) receiver opens and pairs.
  auto reopened = kit->open();
  ASSERT_TRUE(reopened.has_value()) << reopened.error().debug();
  EXPECT_TRUE(run((*reopened)->connect({BodyPart::Hips})).has_value());
}

}  // namespace
}  // namespace sorvel
