#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "read_file.hpp"
#include "sorvel/platform/platform.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace sorvel::simulator {
namespace {

TEST(Scenario, AbsentKeysKeepTheDefaultKit) {
  auto scenario = parse_scenario("{}");
  ASSERT_TRUE(scenario.has_value());
  EXPECT_TRUE(scenario->present);
  EXPECT_EQ(scenario->receiver_address, (TrackerAddress{{90, 1, 2, 3, 4, 5}}));
  EXPECT_EQ(scenario->receiver_version, (protocol::SemVer{2, 0, 1}));
  ASSERT_EQ(scenario->trackers.size(), 15u);
  EXPECT_EQ(scenario->trackers[4].body_part, BodyPart::Head);
  EXPECT_EQ(scenario->trackers[4].address, (TrackerAddress{{16, 0, 0, 0, 0, 5}}));
  EXPECT_EQ(scenario->trackers[4].version, (protocol::SemVer{1, 0, 0}));
  EXPECT_EQ(scenario->rate_hz, 100u);
  EXPECT_EQ(scenario->motion, Motion::Sway);
  EXPECT_TRUE(scenario->ready_to_report);
  EXPECT_FALSE(scenario->stamp_completion);
  const auto action = parse_scenario(R"({"script": [{"on": "Go"}]})")->script[0];
  EXPECT_EQ(action.report_interval_us, 0u);
  EXPECT_FALSE(action.lose_tracker || action.restore_tracker);
}

TEST(Scenario, EveryKeyIsRead) {
  auto scenario = parse_scenario(R"({
    "present": true,
    "receiver": {"address": [1, 2, 3, 4, 5, 6], "version": [2, 1, 0]},
    "silent": ["GetInfo", "Go"],
    "trackers": [{"address": [9, 9, 9, 9, 9, 9], "body_part": "RF", "version": [1, 2, 3],
                  "announce": "twice"}],
    "ready_to_report": false,
    "stream": {"rate_hz": 0, "motion": "still", "stamp_completion": true},
    "script": [{"on": "open", "delay_ms": 7, "response": "00", "report_transfers": ["AB", "", "0102"],
                "report_interval_us": 250, "unplug": true,
                "fail": {"endpoint": 129, "status": "Disconnected"},
                "lose_tracker": "LH", "restore_tracker": "RightFoot"}]
  })");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  EXPECT_EQ(scenario->receiver_version, (protocol::SemVer{2, 1, 0}));
  EXPECT_EQ(scenario->silent, (std::set<std::string>{"GetInfo", "Go"}));
  ASSERT_EQ(scenario->trackers.size(), 1u);
  EXPECT_EQ(scenario->trackers[0].body_part, BodyPart::RightFoot);
  EXPECT_EQ(scenario->trackers[0].announce, Announce::Twice);
  EXPECT_FALSE(scenario->ready_to_report);
  EXPECT_EQ(scenario->rate_hz, 0u);
  EXPECT_EQ(scenario->motion, Motion::Still);
  EXPECT_TRUE(scenario->stamp_completion);
  ASSERT_EQ(scenario->script.size(), 1u);
  const ScriptAction& action = scenario->script[0];
  EXPECT_EQ(action.on, "open");
  EXPECT_EQ(action.delay_ms, 7u);
  EXPECT_EQ(action.response, (Bytes{0x00}));
  ASSERT_EQ(action.report_transfers.size(), 3u);
  EXPECT_EQ(Bytes(action.report_transfers[0].begin(), action.report_transfers[0].end()),
            Bytes{0xAB});
  EXPECT_TRUE(action.report_transfers[1].empty());
  EXPECT_EQ(Bytes(action.report_transfers[2].begin(), action.report_transfers[2].end()),
            (Bytes{0x01, 0x02}));
  EXPECT_EQ(action.report_interval_us, 250u);
  EXPECT_TRUE(action.unplug);
  ASSERT_TRUE(action.fail.has_value());
  EXPECT_EQ(action.fail->endpoint, 0x81);
  EXPECT_EQ(action.fail->status, TransferError::Disconnected);
  EXPECT_EQ(action.lose_tracker, BodyPart::LeftHand);
  EXPECT_EQ(action.restore_tracker, BodyPart::RightFoot);
}

TEST(Scenario, ProblemsAreNamedWithTheirPlace) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"{", "not valid JSON"},
      {"[]", "expected an object"},
      {R"({"trakers": []})", "unknown key \"trakers\""},
      {R"({"receiver": {"address": [1, 2, 3]}})", "receiver.address: expected 6 integers"},
      {R"({"receiver": {"version": [2, 0, 256]}})",
       "receiver.version[2]: expected an integer from 0 to 255"},
      {R"({"silent": ["GetInf"]})", "silent[0]: unknown command \"GetInf\""},
      {R"({"trackers": [{"address": [1,1,1,1,1,1], "body_part": "Nose"}]})",
       "trackers[0].body_part: unknown body part \"Nose\""},
      {R"({"trackers": [{"body_part": "Head"}]})", "trackers[0]: a tracker needs an address"},
      {R"({"trackers": [{"address": [1,1,1,1,1,1], "body_part": "Head", "announce": "loud"}]})",
       "trackers[0].announce: unknown announce \"loud\""},
      {R"({"stream": {"motion": "spin"}})", "stream.motion: unknown motion \"spin\""},
      {R"({"script": [{"on": "Go", "response": "0"}]})", "script[0].response: odd number"},
      {R"({"script": [{"on": "Go", "response": "zz"}]})", "script[0].response: 'z' is not"},
      {R"({"script": [{"on": "Go", "report_transfers": ["AB", "ABC"]}]})",
       "script[0].report_transfers[1]: odd number of hex digits"},
      {R"({"script": [{"on": "Go", "report_transfers": ["AB", 3]}]})",
       "script[0].report_transfers[1]: expected a string"},
      {R"({"script": [{"on": "Go", "report_interval_us": -1}]})",
       "script[0].report_interval_us: expected an integer from 0 to 60000000"},
      {R"({"script": [{"on": "Go", "report_interval_us": 60000001}]})",
       "script[0].report_interval_us: expected an integer from 0 to 60000000"},
      {R"({"stream": {"stamp_completion": 1}})", "stream.stamp_completion: expected true or false"},
      {R"({"script": [{"on": "Go", "fail": {"endpoint": 3, "status": "Stall"}}]})",
       "script[0].fail.endpoint: the receiver has endpoints 1, 129 and 130"},
      {R"({"script": [{"on": "Go", "fail": {"endpoint": 1, "status": "Broken"}}]})",
       "script[0].fail.status: unknown status \"Broken\""},
      {R"({"script": [{"delay_ms": 3}]})", "script[0]: an action needs \"on\""},
      {R"({"script": [{"on": "Go"}, {"on": "Go", "lose_tracker": "Nose"}]})",
       "script[1].lose_tracker: unknown body part \"Nose\""},
      {R"({"script": [{"on": "Go", "restore_tracker": 11}]})",
       "script[0].restore_tracker: expected a string"},
      {R"({"trackers": [{"address": [16,0,0,0,0,5], "body_part": "Head"},
                        {"address": [16,0,0,0,0,6], "body_part": "Chest"},
                        {"address": [16,0,0,0,0,5], "body_part": "Hips"}]})",
       "trackers[2].address: [16, 0, 0, 0, 0, 5] is already the address of trackers[0]"},
      {R"({"script": [{"on": "open", "in_flight": true}]})",
       "script[0].in_flight: only a command's action can be in flight"},
      {R"({"script": [{"on": "Go", "in_flight": true, "delay_ms": 5}]})",
       "script[0].in_flight: an action in flight fires at once, without delay_ms"},
  };
  for (const auto& [json, problem] : cases) {
    auto scenario = parse_scenario(json);
    ASSERT_FALSE(scenario.has_value()) << json;
    EXPECT_NE(scenario.error().find(problem), std::string::npos)
        << json << " gave: " << scenario.error();
  }
  std::string long_response(65 * 2, 'A');
  auto scenario =
      parse_scenario(R"({"script": [{"on": "Go", "response": ")" + long_response + "\"}]}");
  ASSERT_FALSE(scenario.has_value());
  EXPECT_NE(scenario.error().find("do not fit one transfer of at most 64"), std::string::npos);
}

TEST(Scenario, TheVariableSelectsTheDefaultKitInlineJsonOrAFile) {
  EXPECT_EQ(scenario_from_variable("1")->trackers.size(), 15u);
  EXPECT_FALSE(scenario_from_variable(R"({"present": false})")->present);
  EXPECT_FALSE(scenario_from_variable(" \n\t{\"present\": false}")->present);

  const std::string path = ::testing::TempDir() + "/scenario.json";
  std::ofstream(path) << R"({"ready_to_report": false})";
  EXPECT_FALSE(scenario_from_variable(path)->ready_to_report);

  auto missing = scenario_from_variable("/nonexistent/kit.json");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(),
            "SORVEL_VIRTUAL_KIT: cannot read scenario file \"/nonexistent/kit.json\": No such "
            "file or directory");
  auto invalid = scenario_from_variable("{nope");
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error(), "SORVEL_VIRTUAL_KIT: invalid scenario: not valid JSON");
}

TEST(Scenario, APathThatIsNoRegularFileFailsAtOnceWithItsCause) {
  const std::string directory = ::testing::TempDir() + "/scenario-directory";
  std::filesystem::create_directory(directory);
  const std::string oversized = ::testing::TempDir() + "/oversized.json";
  std::ofstream(oversized) << "{}";
  std::filesystem::resize_file(oversized, kMaxScenarioFileBytes + 1);  // sparse: no disk

  std::vector<std::pair<std::string, std::string>> cases{
      {directory, "is a directory"},
      {oversized, "larger than 16777216 bytes"},
  };
#ifndef _WIN32
  cases.emplace_back("/dev/null", "not a regular file");  // Windows has no device paths like it
#endif
  for (const auto& [path, cause] : cases) {
    auto scenario = scenario_from_variable(path);
    ASSERT_FALSE(scenario.has_value()) << path;
    EXPECT_EQ(scenario.error(),
              fmt::format("SORVEL_VIRTUAL_KIT: cannot read scenario file \"{}\": {}", path, cause));
  }
}

#ifndef _WIN32  // only Linux has files that understate their size, in /proc
TEST(ReadRegularFile, StopsOneBytePastTheLimitOfAFileThatGrowsOrUnderstatesItsSize) {
  // A /proc file says size 0 in stat and has content when read, like a file growing after stat.
  auto whole = read_regular_file("/proc/self/status", kMaxScenarioFileBytes);
  ASSERT_TRUE(whole.has_value()) << whole.error();
  ASSERT_GT(whole->size(), 10u);
  auto capped = read_regular_file("/proc/self/status", 10);
  ASSERT_FALSE(capped.has_value());
  EXPECT_EQ(capped.error(), "larger than 10 bytes");
  auto exact = read_regular_file("/proc/self/status", whole->size() + 64);
  ASSERT_TRUE(exact.has_value()) << exact.error();
  EXPECT_EQ(exact->substr(0, 5), "Name:");
}
#endif

TEST(Scenario, BackendFromEnvironmentNeverFallsBackSilently) {
  platform::set_environment_variable("SORVEL_VIRTUAL_KIT", "{\"silent\": 3}");
  auto broken = backend_from_environment();
  ASSERT_FALSE(broken.has_value());
  EXPECT_EQ(broken.error(),
            "SORVEL_VIRTUAL_KIT: invalid scenario: silent: expected a list of command names");

  platform::set_environment_variable("SORVEL_VIRTUAL_KIT", "1");
  auto kit = backend_from_environment();
  ASSERT_TRUE(kit.has_value()) << kit.error();
  auto devices = kit.value()->list_devices();
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_EQ(devices->front()->vendor_id(), 0x303A);
  EXPECT_EQ(devices->front()->product_id(), 0x81D3);
  platform::unset_environment_variable("SORVEL_VIRTUAL_KIT");
}

}  // namespace
}  // namespace sorvel::simulator
