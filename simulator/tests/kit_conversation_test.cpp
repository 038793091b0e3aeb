// The receiver's side of the conversation: command -> answer, pairing announcements, streaming.
#include <gtest/gtest.h>

#include <cmath>

#include "kit_harness.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;
namespace cmd = protocol::command;
namespace rsp = protocol::response;
using protocol::Command;
using protocol::Response;

TEST(KitConversation, EachCommandGetsItsAnswer) {
  OpenKit kit;
  struct Case {
    Command command;
    std::string answer;
  };
  const std::vector<Case> cases{
      {cmd::GetInfo{},
       "ReceiverInfo(ReceiverInfo { addr: [90, 1, 2, 3, 4, 5], version: SemVer { major: 2, "
       "minor: 0, patch: 1 } })"},
      {cmd::TrackerSoftReset{}, "SoftResetDone"},
      {cmd::ClearDCD{BodyPart::Head}, "DCDCleared(Head)"},
      {cmd::ReadTrackerConfig{BodyPart::Hips},
       "TrackerConfig(Hips, Config { receiver: [90, 1, 2, 3, 4, 5], wifi_tx_power: 8, "
       "wifi_channel: 6, wireless_retry: 3, lag_tolerant: Millis(1000), sensor_variant: 0, "
       "index: 5, battery: 4100 })"},
      {cmd::ReadReceiverConfig{},
       "ReceiverConfig(Config { wifi_tx_power: 8, wifi_channel: 6, padding: 0, wireless_retry: "
       "3, lag_tolerant: Millis(1000) })"},
      {cmd::PowerOff{}, "PoweredOff"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(send(*kit.commands, c.command).ok());
    EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), c.answer);
  }
  // Every command went out as one 64-byte transfer, recorded in order.
  const auto state = kit.backend->state();
  ASSERT_TRUE(state.has_value());
  ASSERT_EQ(state->commands.size(), cases.size());
  const auto get_info = protocol::command_transfer(cmd::GetInfo{});
  EXPECT_EQ(state->commands[0], std::vector<std::uint8_t>(get_info.begin(), get_info.end()));
}

TEST(KitConversation, PairingAnnouncesTheGroupInKitOrderThenIsReady) {
  OpenKit kit;
  const std::array group{BodyPart::Chest, BodyPart::Head};
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(group)).ok());
  EXPECT_EQ(
      fmt::format("{}", next_response(*kit.commands)),
      "TrackerDiscovered([16, 0, 0, 0, 0, 5], Head, SemVer { major: 1, minor: 0, patch: 0 })");
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)),
            "TrackerDiscovered([16, 0, 0, 0, 0, 11], Chest, SemVer { major: 1, minor: 0, patch: 0 "
            "})");
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "ReadyToReport");
}

TEST(KitConversation, AnnouncementKindsFollowTheScenario) {
  auto scenario = parse_scenario(R"({
    "trackers": [
      {"address": [1, 0, 0, 0, 0, 1], "body_part": "Head", "announce": "discovered"},
      {"address": [1, 0, 0, 0, 0, 2], "body_part": "Hips", "announce": "incompatible",
       "version": [0, 9, 0]},
      {"address": [1, 0, 0, 0, 0, 3], "body_part": "Chest", "announce": "repeated"},
      {"address": [1, 0, 0, 0, 0, 4], "body_part": "LeftFoot", "announce": "silent"},
      {"address": [1, 0, 0, 0, 0, 5], "body_part": "RightFoot", "announce": "twice"},
      {"address": [1, 0, 0, 0, 0, 6], "body_part": "LeftHand"}
    ],
    "ready_to_report": false,
    "script": [{"on": "Initiate", "delay_ms": 100, "response": "1C"}]
  })");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  const std::array group{BodyPart::Head, BodyPart::Hips, BodyPart::Chest, BodyPart::LeftFoot,
                         BodyPart::RightFoot};
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(group)).ok());
  const std::vector<std::string> expected{
      "TrackerDiscovered([1, 0, 0, 0, 0, 1], Head, SemVer { major: 1, minor: 0, patch: 0 })",
      "IncompatibleTracker([1, 0, 0, 0, 0, 2], Hips, SemVer { major: 0, minor: 9, patch: 0 })",
      "RepeatedTracker([1, 0, 0, 0, 0, 3], Chest)",
      "TrackerDiscovered([1, 0, 0, 0, 0, 5], RightFoot, SemVer { major: 1, minor: 0, patch: 0 })",
      "TrackerDiscovered([1, 0, 0, 0, 0, 5], RightFoot, SemVer { major: 1, minor: 0, patch: 0 })",
      // No ReadyToReport: the scripted sentinel is the next thing on the endpoint.
      "PoweredOff",
  };
  for (const auto& text : expected)
    EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), text);
}

TEST(KitConversation, SilentCommandsAreNeverAnswered) {
  auto scenario = parse_scenario(R"({"silent": ["GetInfo"],
                                    "script": [{"on": "GetInfo", "delay_ms": 50, "response": "11"}]})");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  ASSERT_TRUE(send(*kit.commands, cmd::GetInfo{}).ok());
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "SoftResetDone");  // the sentinel
}

TEST(KitConversation, GoStreamsFramesOfPairedTrackersCutInto64ByteTransfers) {
  OpenKit kit;
  auto reports = kit.claim_reports();
  const std::array group{BodyPart::Head, BodyPart::RightFoot};
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(group)).ok());
  for (int i = 0; i < 3; ++i) next_response(*kit.commands);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());

  FrameReader frames(*reports);
  std::map<BodyPart, int> seen;
  for (int i = 0; i < 40; ++i) {
    const auto report = frames.next();
    ++seen[report.body_part];
    for (const auto& sample : report.samples) {
      EXPECT_EQ(sample.body_part, report.body_part);
      EXPECT_EQ(sample.accuracy, 3);
      const TrackerFrame frame = protocol::to_frame(sample);
      float norm = 0;
      for (float c : frame.orientation) norm += c * c;
      EXPECT_NEAR(norm, 1.0f, 1e-3f);
      EXPECT_NEAR(frame.acceleration[2], 9.81f, 0.01f);
    }
  }
  EXPECT_EQ(seen.size(), 2u) << "only the paired trackers stream";
  EXPECT_GT(seen[BodyPart::Head], 0);
  EXPECT_GT(seen[BodyPart::RightFoot], 0);
  EXPECT_NE(std::find(frames.transfer_sizes.begin(), frames.transfer_sizes.end(), 64u),
            frames.transfer_sizes.end())
      << "a backlog is delivered in full 64-byte transfers";
  EXPECT_TRUE(kit.backend->state()->streaming);

  ASSERT_TRUE(send(*kit.commands, cmd::Stop{}).ok());
  EXPECT_FALSE(kit.backend->state()->streaming);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  ASSERT_TRUE(send(*kit.commands, cmd::TrackerSoftReset{}).ok());
  EXPECT_FALSE(kit.backend->state()->streaming) << "a soft reset stops the stream";
}

TEST(KitConversation, ALostTrackerFallsSilentUntilRestored) {
  auto scenario = parse_scenario(R"({"stream": {"rate_hz": 1000},
    "script": [{"on": "Go", "lose_tracker": "RF"}, {"on": "ClearDCD", "restore_tracker": "RF"}]})");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  auto reports = kit.claim_reports();
  const std::array group{BodyPart::Head, BodyPart::RightFoot};
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(group)).ok());
  for (int i = 0; i < 3; ++i) next_response(*kit.commands);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "ConnectionLost(RightFoot)");

  FrameReader frames(*reports);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(frames.next().body_part, BodyPart::Head);

  // Restored when ClearDCD comes, answered a moment later.
  ASSERT_TRUE(send(*kit.commands, cmd::ClearDCD{BodyPart::Head}).ok());
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "TrackerReconnected(RightFoot)");
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "DCDCleared(Head)");
  int reads = 0;
  while (frames.next().body_part != BodyPart::RightFoot && ++reads < 100) {
  }
  EXPECT_LT(reads, 100) << "the restored tracker reports again";
}

}  // namespace
}  // namespace sorvel::simulator
