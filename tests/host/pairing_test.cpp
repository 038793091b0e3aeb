// Pairing a group: every path of the procedure, its time-outs, and what a failure leaves alone.
#include "host_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;
using simulator::Announce;
using simulator::Scenario;
using simulator::TrackerSpec;

class Pairing : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

TrackerSpec tracker(std::uint8_t last, BodyPart part, Announce announce = Announce::Discovered) {
  return {TrackerAddress{{1, 0, 0, 0, 0, last}}, part, protocol::SemVer{1, 0, 0}, announce};
}

std::vector<std::uint8_t> initiate_bytes(std::uint8_t count, std::vector<std::uint8_t> parts) {
  std::vector<std::uint8_t> bytes{0x02, count};
  parts.resize(15, 0x0A);
  bytes.insert(bytes.end(), parts.begin(), parts.end());
  bytes.resize(64, 0x00);
  return bytes;
}

TEST_F(Pairing, SendsTheGroupAsInitiateAndReportsEachTracker) {
  struct Case {
    std::vector<BodyPart> group;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<BodyPart> all;
  std::vector<std::uint8_t> all_values;
  for (std::uint8_t v = 0; v < 15; ++v) {
    all.push_back(static_cast<BodyPart>(14 - v));
    all_values.push_back(14 - v);
  }
  const std::vector<Case> cases{
      {{BodyPart::LeftLowerArm}, initiate_bytes(1, {0})},
      {{BodyPart::Head, BodyPart::Hips, BodyPart::Chest}, initiate_bytes(3, {4, 5, 10})},
      {all, initiate_bytes(15, all_values)},
  };
  for (const auto& c : cases) {
    log::capture().clear();
    KitDriver kit({}, fast_timeouts(), test_name() + std::to_string(c.group.size()));
    ASSERT_TRUE(kit.connect(c.group).has_value());
    EXPECT_EQ(kit.status(), "connected");
    const auto commands = kit.state().commands;
    ASSERT_EQ(commands.size(), 3u);  // GetInfo, TrackerSoftReset, Initiate
    EXPECT_EQ(commands[2], c.bytes);
    EXPECT_EQ(kit.driver->host()->expected_tracker_count(), c.group.size());
    EXPECT_EQ(count_lines(log::kHostTarget, "Discovered tracker "), c.group.size());
  }
  // The log lines of the three-part group, in order.
  KitDriver kit({}, fast_timeouts(), test_name() + "lines");
  log::capture().clear();
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::LeftLowerArm}).has_value());
  EXPECT_EQ(host_lines(),
            (std::vector<std::string>{
                "connected command sent for group [Head, LeftLowerArm, Chest, Chest, Chest, Chest, "
                "Chest, Chest, Chest, Chest, Chest, Chest, Chest, Chest, Chest].",
                "Discovered tracker [16, 0, 0, 0, 0, 1] at LeftLowerArm with version SemVer { "
                "major: 1, minor: 0, patch: 0 }",
                "Discovered tracker [16, 0, 0, 0, 0, 5] at Head with version SemVer { major: 1, "
                "minor: 0, patch: 0 }",
                "tracker list received: {[16, 0, 0, 0, 0, 1]: (LeftLowerArm, SemVer { major: 1, "
                "minor: 0, patch: 0 }), [16, 0, 0, 0, 0, 5]: (Head, SemVer { major: 1, minor: 0, "
                "patch: 0 })}.",
                "Finished pairing with trackers"}));
  EXPECT_TRUE(logged(log::kTrackersTarget, "Added driver: [16, 0, 0, 0, 0, 1]"));
}

TEST_F(Pairing, FailuresEndWithTheirErrorAndLeaveTheStateAlone) {
  struct Case {
    std::string name;
    Scenario scenario;
    std::vector<BodyPart> group;
    DriverError error;
    std::optional<std::string> line;
  };
  Scenario twice;
  twice.trackers = {tracker(1, BodyPart::Head, Announce::Twice),
                    tracker(2, BodyPart::Hips, Announce::Silent)};
  Scenario repeated;
  repeated.trackers = {tracker(1, BodyPart::Chest, Announce::Repeated)};
  Scenario silent_reset;
  silent_reset.silent = {"TrackerSoftReset"};
  Scenario not_ready;
  not_ready.ready_to_report = false;
  std::vector<BodyPart> sixteen(16, BodyPart::Head);
  const std::vector<Case> cases{
      {"announced twice counts once",
       twice,
       {BodyPart::Head, BodyPart::Hips},
       DriverError::pairing_timeout(),
       std::nullopt},
      {"repeated tracker is logged and waited past",
       repeated,
       {BodyPart::Chest},
       DriverError::pairing_timeout(),
       "Tracker Chest is repeated"},
      {"soft reset unanswered",
       silent_reset,
       {BodyPart::Head},
       DriverError::response_timeout(),
       std::nullopt},
      {"never ready", not_ready, {BodyPart::Head}, DriverError::trackers_not_ready(), std::nullopt},
      {"more than 15 body parts",
       {},
       sixteen,
       DriverError::command_failed("the group has more than 15 body parts"),
       std::nullopt},
  };
  for (const auto& c : cases) {
    log::capture().clear();
    KitDriver kit(c.scenario, fast_timeouts(), test_name() + c.name);
    auto paired = kit.connect(c.group);
    ASSERT_FALSE(paired.has_value()) << c.name;
    EXPECT_EQ(paired.error(), c.error) << c.name << ": " << paired.error().debug();
    EXPECT_EQ(kit.status(), "not connected") << c.name;
    EXPECT_EQ(kit.poll().error(), PollFailure::NotConnected) << c.name;
    EXPECT_EQ(kit.driver->host()->expected_tracker_count(), 0u) << c.name;
    EXPECT_EQ(run(kit.driver->start()).error(), DriverError::trackers_not_connected()) << c.name;
    if (c.line) {
      EXPECT_TRUE(logged(log::kHostTarget, *c.line)) << c.name;
    }
  }
  // Nothing at all goes out for a group that does not fit.
  KitDriver kit({}, fast_timeouts(), test_name() + "sent");
  ASSERT_FALSE(kit.connect(sixteen).has_value());
  EXPECT_EQ(kit.state().commands.size(), 1u) << "only the GetInfo of the open";
}

TEST_F(Pairing, AFailedRePairingKeepsThePreviousSetAndStatus) {
  Scenario scenario;
  scenario.rate_hz = 200;
  scenario.trackers = {tracker(1, BodyPart::Head), tracker(2, BodyPart::Hips, Announce::Silent)};
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  EXPECT_EQ(kit.status(), "reporting data");
  EXPECT_EQ(kit.connect({BodyPart::Hips}).error(), DriverError::pairing_timeout());
  EXPECT_EQ(kit.status(), "reporting data");
  auto frames = kit.poll();
  ASSERT_TRUE(frames.has_value());
  EXPECT_EQ(frames->size(), 1u) << "still the Head tracker's set";
  EXPECT_EQ(kit.driver->host()->expected_tracker_count(), 1u);
}

TEST_F(Pairing, IncompatibleTrackersWarnAndCount) {
  Scenario scenario;
  scenario.trackers = {tracker(7, BodyPart::Head, Announce::Incompatible)};
  scenario.trackers[0].version = {0, 9, 1};
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  const auto records = log::capture().records();
  EXPECT_NE(std::find(records.begin(), records.end(),
                      log::CapturedRecord{log::Level::Warn, "sorvel_driver::host",
                                          "Tracker [1, 0, 0, 0, 0, 7] at Head has an incompatible "
                                          "firmware version SemVer { major: 0, minor: 9, patch: 1 "
                                          "}"}),
            records.end());
  EXPECT_TRUE(
      logged(log::kHostTarget,
             "Discovered tracker [1, 0, 0, 0, 0, 7] at Head with version SemVer { major: 0, "
             "minor: 9, patch: 1 }"));
}

TEST_F(Pairing, TwoTrackersOnOneBodyPartBothCountAndTheHigherAddressGetsTheFrames) {
  Scenario scenario;
  scenario.rate_hz = 200;
  scenario.trackers = {tracker(9, BodyPart::Head), tracker(3, BodyPart::Head)};
  KitDriver kit(scenario);
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  bool fresh_for_higher = false;
  ASSERT_TRUE(eventually([&] {
    auto frames = kit.poll();
    EXPECT_TRUE(frames.has_value());
    EXPECT_EQ(frames->size(), 2u);
    EXPECT_FALSE((*frames)[0].second) << "the lower address never gets a frame";
    fresh_for_higher = (*frames)[1].second;
    return fresh_for_higher;
  }));
}

TEST_F(Pairing, TwoConnectsAtOnceAreSerialised) {
  KitDriver kit;
  auto first = runtime::spawn(kit.driver->connect({BodyPart::Head}));
  auto second = runtime::spawn(kit.driver->connect({BodyPart::Hips, BodyPart::Chest}));
  ASSERT_TRUE(first.wait().value().has_value());
  ASSERT_TRUE(second.wait().value().has_value());
  // Each pairing sent its reset and group before the other began: never interleaved.
  std::vector<std::string> steps;
  for (const auto& step : kit.state().history) {
    if (step == "TrackerSoftReset" || step == "Initiate") steps.push_back(step);
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"TrackerSoftReset", "Initiate", "TrackerSoftReset",
                                             "Initiate"}));
}

// Answers carry nothing that says which pairing they answer: announcements of a pairing
// cancelled midway, still arriving, must not be taken by the next one.
TEST_F(Pairing, ACancelledPairingsLateAnswersAreNotTakenByTheNext) {
  const std::vector<BodyPart> abandoned{BodyPart::LeftLowerArm, BodyPart::RightLowerArm,
                                        BodyPart::LeftLowerLeg, BodyPart::RightLowerLeg};
  // Cancelled before the reset's answer, before the first announcement, and between two.
  for (const std::size_t announced : {0u, 1u, 2u}) {
    log::capture().clear();
    KitDriver kit({}, fast_timeouts(), test_name() + std::to_string(announced));
    auto first = runtime::spawn(kit.driver->connect(abandoned));
    if (announced == 0) {
      ASSERT_TRUE(eventually([&] { return kit.state().commands.size() == 2; }));
    } else {
      // At least: on a loaded machine the next announcement may be logged before we look.
      ASSERT_TRUE(eventually([&] {
        return count_lines(log::kHostTarget, "Discovered tracker ") >= announced;
      }));
    }
    first.cancel();
    ASSERT_TRUE(first.wait().error().is_cancelled());

    ASSERT_TRUE(kit.connect({BodyPart::Chest}).has_value()) << announced;
    const auto lines = host_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Finished pairing with trackers");
    EXPECT_EQ(count_lines(log::kHostTarget, "tracker list received: {[16, 0, 0, 0, 0, 11]: (Chest, "),
              1u)
        << announced << "\n"
        << fmt::format("{}", fmt::join(lines, "\n"));
    ASSERT_TRUE(kit.start().has_value());
    ASSERT_TRUE(eventually([&] {
      auto polled = kit.poll();
      return polled && polled->size() == 1 && polled->front().second;
    })) << announced;
  }
}

}  // namespace
}  // namespace sorvel
