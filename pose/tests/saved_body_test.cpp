#include "sorvel/pose/saved_body.hpp"

#include <gtest/gtest.h>

#include "sorvel/pose/lengths.hpp"
#include "worn_kit.hpp"

namespace sorvel::pose {
namespace {

using namespace testing;

SavedBody calibrated_body() {
  std::mt19937 random(8);
  const WornKit kit = random_kit(random, WorldUp::Y, true, false);
  Orientations still = kit.report(standing(StandingPose::T));
  still.clear(BodyPart::RightHand);
  auto first = calibrate(hold_of(still), StandingPose::T, WorldUp::Y);
  auto refined = calibrate_mounting(*first, hold_of(kit.report(skiing(25))));
  return {*proportions_for(1.62, std::vector<LengthOverride>{{"foot", 0.3}}), *refined};
}

TEST(SavedBody, ReadsBackWhatItWroteBitForBit) {
  const SavedBody body = calibrated_body();
  const auto read = saved_body_from_json(to_json(body));
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(read->calibration, body.calibration);
  EXPECT_FALSE(read->calibration.calibrated(BodyPart::RightHand));
  for (const auto name : kLengthNames) {
    EXPECT_EQ(length_named(read->proportions, name), length_named(body.proportions, name));
  }
}

TEST(SavedBody, RefusesWhatItDidNotWrite) {
  const std::string good = to_json(calibrated_body());
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"", "the saved body is not JSON"},
      {"{}", "the text is not a saved body (no \"format\": \"sorvel-body\" and version)"},
      {edited("\"version\": 1", "\"version\": 2"), "the saved body's version 2 is not 1"},
      {edited("\"foot\": 0.3", "\"foot\": -0.3"),
       "the saved body's lengths are wrong: the length foot must be positive, not -0.3"},
      {edited("\"foot\": 0.3", "\"foot\": \"long\""),
       "the saved body's lengths.foot must be a number"},
      {edited("\"foot\": 0.3", "\"toe\": 0.3"),
       "the saved body's lengths.toe is not a known length"},
      {edited("\"pose\": \"T\"", "\"pose\": \"X\""),
       "the saved body's calibration.pose must be \"I\" or \"T\""},
      {edited("\"Chest\":", "\"Tail\":"),
       "the saved body's calibration.trackers.Tail is not a body part"},
      {edited("\"correction\": [", "\"correction\": [2.0, "),
       "the saved body's calibration.trackers.Chest.correction must be a list of four numbers (w, "
       "x, y, z)"},
      {edited("\"correction\": [", "\"correction\": [\n1e999, "), "the saved body is not JSON"},
      {edited("\"mounting\":", "\"mount\":"),
       "the saved body's calibration.trackers.Chest.mounting is missing"},
      {std::string(100000, '['), "the saved body is nested too deeply to be one"},
      {std::string(2 << 20, ' '), "the saved body is too large to be one"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 200));
    const auto read = saved_body_from_json(c.text);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message, c.message);
  }
}

TEST(Lengths, OverridesByNameAndRefusesWhatIsNoLength) {
  struct Case {
    double height;
    std::vector<LengthOverride> overrides;
    std::string message;  ///< empty: accepted
  };
  const Case cases[] = {
      {1.75, {{"upper_arm", 0.3}, {"ankle_height", 0.05}}, ""},
      {1.75,
       {{"upper_arms", 0.3}},
       "no length is called \"upper_arms\" (known: pelvis, spine, head, "
       "shoulder_width, upper_arm, lower_arm, hand, hip_width, "
       "upper_leg, lower_leg, ankle_height, foot)"},
      {1.75, {{"hand", 0.0}}, "the length hand must be positive, not 0"},
      {1.75, {{"hand", std::nan("")}}, "the length hand must be positive, not nan"},
      {-1.0, {}, "the height must be positive, not -1"},
      {0.0, {}, "the height must be positive, not 0"},
  };
  for (const auto& c : cases) {
    const auto lengths = proportions_for(c.height, c.overrides);
    if (!c.message.empty()) {
      ASSERT_FALSE(lengths);
      EXPECT_EQ(lengths.error().message, c.message);
      continue;
    }
    ASSERT_TRUE(lengths) << lengths.error().message;
    const Proportions defaults = Proportions::from_height(c.height);
    for (const auto name : kLengthNames) {
      double expected = *length_named(defaults, name);
      for (const auto& o : c.overrides) {
        if (o.name == name) expected = o.metres;
      }
      EXPECT_EQ(*length_named(*lengths, name), expected) << name;
    }
  }
}

}  // namespace
}  // namespace sorvel::pose
