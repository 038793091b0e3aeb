// A simulated person in a whole virtual kit: the scenario's body keys, and the truth file's rows
// against the samples the kit sends.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "body/segments.hpp"
#include "body/tracker_placement.hpp"
#include "kit_harness.hpp"

namespace sorvel::simulator {
namespace {

/// A temporary file's path as a JSON string may hold it: Windows' temporary directory has
/// backslashes, which JSON would read as escapes; forward slashes serve there too.
std::string json_path(std::string name) {
  std::string path = ::testing::TempDir() + "/" + name;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

using namespace testing;
namespace cmd = protocol::command;

TEST(BodyScenario, EveryKeyIsReadAndAnAbsentBodyLeavesTheSyntheticMotion) {
  EXPECT_FALSE(parse_scenario("{}")->body.has_value());
  const std::string truth = json_path("every-key-truth.csv");
  auto scenario = parse_scenario(fmt::format(R"({{"body": {{
    "height": 1.6, "lengths": {{"upper_arm": 0.3, "ankle_height": 0.05}}, "seed": 9,
    "mounting": {{"LH": [0, 0, 0, 2], "RightFoot": [1, 0, 0, 0]}}, "heading": "shared",
    "heading_deg": 45, "facing_deg": -30, "drift_deg_per_min": 2, "noise_deg": 0,
    "script": [{{"pose": "ski", "seconds": 2}}, {{"motion": "arm_raises", "seconds": 3.5}}],
    "loop": false, "truth": "{}"}}}})",
                                             truth));
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  const BodyScenario& body = *scenario->body;
  EXPECT_DOUBLE_EQ(body.proportions.spine, pose::Proportions::from_height(1.6).spine);
  EXPECT_EQ(body.proportions.upper_arm, 0.3);
  EXPECT_EQ(body.proportions.ankle_height, 0.05);
  EXPECT_EQ(body.seed, 9u);
  EXPECT_EQ(body.mounting, MountingKind::Given);
  EXPECT_EQ(body.mountings[pose::index_of(BodyPart::LeftHand)], (pose::Quaternion{0, 0, 0, 1}));
  EXPECT_EQ(body.mountings[pose::index_of(BodyPart::Head)], pose::Quaternion::identity());
  EXPECT_TRUE(body.shared_heading);
  EXPECT_EQ(body.heading_deg, 45.0);
  EXPECT_EQ(body.facing_deg, -30.0);
  EXPECT_EQ(body.drift_deg_per_min, 2.0);
  EXPECT_EQ(body.noise_deg, 0.0);
  ASSERT_EQ(body.script.size(), 2u);
  EXPECT_EQ(body.script[0].pose, HeldPose::Ski);
  EXPECT_EQ(body.script[1].motion, BodyMotion::ArmRaises);
  EXPECT_EQ(body.script[1].seconds, 3.5);
  EXPECT_FALSE(body.loop);
  EXPECT_EQ(body.truth_path, truth);
}

TEST(BodyScenario, ProblemsAreNamedWithTheirPlace) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"({"body": 3})", "body: expected an object"},
      {R"({"body": {"hight": 1}})", "body: unknown key \"hight\""},
      {R"({"body": {"height": 9}})", "body.height: expected a number from 0.5 to 3"},
      {R"({"body": {"lengths": {"neck": 1}}})", "body.lengths: unknown length \"neck\""},
      {R"({"body": {"lengths": {"foot": -1}}})", "body.lengths.foot: expected a number from 0"},
      {R"({"body": {"seed": -2}})", "body.seed: expected an integer from 0 to"},
      {R"({"body": {"mounting": "crooked"}})", "body.mounting: expected \"random\", \"square\""},
      {R"({"body": {"mounting": {"Nose": [1, 0, 0, 0]}}})",
       "body.mounting: unknown body part \"Nose\""},
      {R"({"body": {"mounting": {"HE": [0, 0, 0, 0]}}})",
       "body.mounting.HE: expected [w, x, y, z], not all zero"},
      {R"({"body": {"mounting": {"HE": [1, 0, 0]}}})", "body.mounting.HE: expected [w, x, y, z]"},
      {R"({"body": {"heading": "north"}})", "body.heading: unknown heading \"north\""},
      {R"({"body": {"heading_deg": 10}})", "body.heading_deg: only a shared heading takes"},
      {R"({"body": {"noise_deg": "a lot"}})", "body.noise_deg: expected a number from 0 to 10"},
      {R"({"body": {"script": []}})", "body.script: expected a list of steps"},
      {R"({"body": {"script": [{"seconds": 1}]}})",
       "body.script[0]: a step needs either \"pose\" or \"motion\""},
      {R"({"body": {"script": [{"pose": "T", "motion": "walk", "seconds": 1}]}})",
       "body.script[0]: a step needs either"},
      {R"({"body": {"script": [{"pose": "T"}]}})", "body.script[0]: a step needs \"seconds\""},
      {R"({"body": {"script": [{"pose": "T", "seconds": 1}, {"pose": "A", "seconds": 1}]}})",
       "body.script[1].pose: unknown pose \"A\" (T, I, ski)"},
      {R"({"body": {"script": [{"motion": "fly", "seconds": 1}]}})",
       "body.script[0].motion: unknown motion \"fly\" (sway, walk, arm_raises, turn)"},
      {R"({"body": {"script": [{"motion": "walk", "seconds": 0}]}})",
       "body.script[0].seconds: expected a number from 0.1"},
      {R"({"body": {"loop": 1}})", "body.loop: expected true or false"},
      {R"({"body": {"truth": "/nonexistent/truth.csv"}})",
       "body.truth: cannot write \"/nonexistent/truth.csv\": No such file or directory"},
  };
  for (const auto& [json, problem] : cases) {
    auto scenario = parse_scenario(json);
    ASSERT_FALSE(scenario.has_value()) << json;
    EXPECT_NE(scenario.error().find(problem), std::string::npos)
        << json << " gave: " << scenario.error();
  }
}

struct TruthRow {
  std::string body_part;
  std::array<double, 4> rot;
};

std::vector<TruthRow> read_truth(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line,
            "time_ns,body_part,rot_w,rot_x,rot_y,rot_z,seg_w,seg_x,seg_y,seg_z,pos_x,pos_y,"
            "pos_z");
  std::vector<TruthRow> rows;
  while (std::getline(file, line)) {
    std::stringstream fields(line);
    std::string time, cell;
    TruthRow row;
    std::getline(fields, time, ',');
    std::getline(fields, row.body_part, ',');
    for (double& c : row.rot) {
      std::getline(fields, cell, ',');
      c = std::stod(cell);
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(BodyKit, TheTruthFileHasARowForEverySampleSentInOrder) {
  const std::string path = json_path("kit-truth.csv");
  auto scenario = parse_scenario(fmt::format(R"({{"body": {{"truth": "{}"}}}})", path));
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  std::vector<TrackerFrame> sent;
  {
    OpenKit kit(*scenario);
    auto reports = kit.claim_reports();
    const std::array group{BodyPart::Head, BodyPart::LeftHand, BodyPart::RightFoot};
    ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(group)).ok());
    for (std::size_t i = 0; i < group.size() + 1; ++i) next_response(*kit.commands);
    ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
    FrameReader frames(*reports);
    for (int i = 0; i < 60; ++i) {
      for (const auto& sample : frames.next().samples) sent.push_back(protocol::to_frame(sample));
    }
    ASSERT_TRUE(send(*kit.commands, cmd::Stop{}).ok());  // writes out what is buffered
    const auto rows = read_truth(path);
    // Rows come in the order generated; the host has read the first of them so far.
    std::size_t at = 0;
    for (const TrackerFrame& frame : sent) {
      const auto& q = frame.orientation;
      const std::array<double, 4> rot{q[3], q[0], q[1], q[2]};
      while (at < rows.size() && rows[at].body_part != name(frame.body_part)) ++at;
      ASSERT_LT(at, rows.size()) << "no row for a sample of " << name(frame.body_part);
      EXPECT_EQ(rows[at].rot, rot) << "row " << at;
      ++at;
    }
  }
}

TEST(BodyKit, APoseAskedForFromAnotherThreadWhileStreamingIsHeld) {
  // Square mountings and one heading of zero: a tracker reports kUp * segment.
  OpenKit kit(
      *parse_scenario(R"({"body": {"noise_deg": 0, "mounting": "square", "heading": "shared"}})"));
  auto reports = kit.claim_reports();
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(std::array{BodyPart::LeftHand})).ok());
  for (int i = 0; i < 2; ++i) next_response(*kit.commands);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  FrameReader frames(*reports);
  auto left_hand_turn = [&] {
    const auto q = protocol::to_frame(frames.next().samples[0]).orientation;
    const pose::Quaternion reported{q[3], q[0], q[1], q[2]};
    return pose::angle_between(body::kUp.conjugate() * reported, pose::Quaternion::identity());
  };
  EXPECT_NEAR(left_hand_turn(), 90.0 * body::kDegree, 1e-3) << "the script opens arms down";

  std::thread([] {
    const auto heard = ask_virtual_person("T", 10.0);
    EXPECT_TRUE(heard.has_value() && *heard);
  }).join();
  int reports_until_held = 0;
  while (left_hand_turn() > 1e-3 && reports_until_held < 1000) ++reports_until_held;
  EXPECT_LT(reports_until_held, 1000) << "the arms never came up";
  for (int i = 0; i < 20; ++i) EXPECT_LT(left_hand_turn(), 1e-3) << "and stay up";
}

}  // namespace
}  // namespace sorvel::simulator
