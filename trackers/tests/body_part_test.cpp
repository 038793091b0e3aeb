#include <gtest/gtest.h>

#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel {
namespace {

TEST(BodyPart, EveryValueHasItsNameAndCodeBothWays) {
  const std::array<std::pair<std::string_view, std::string_view>, kBodyPartCount> table{{
      {"LeftLowerArm", "LLA"},
      {"RightLowerArm", "RLA"},
      {"LeftLowerLeg", "LLL"},
      {"RightLowerLeg", "RLL"},
      {"Head", "HE"},
      {"Hips", "HI"},
      {"LeftUpperArm", "LUA"},
      {"RightUpperArm", "RUA"},
      {"LeftUpperLeg", "LUL"},
      {"RightUpperLeg", "RUL"},
      {"Chest", "CH"},
      {"LeftHand", "LH"},
      {"RightHand", "RH"},
      {"LeftFoot", "LF"},
      {"RightFoot", "RF"},
  }};
  for (std::size_t value = 0; value < table.size(); ++value) {
    const auto part = static_cast<BodyPart>(value);
    EXPECT_EQ(name(part), table[value].first);
    EXPECT_EQ(fmt::format("{}", part), table[value].first);
    EXPECT_EQ(code(part), table[value].second);
    EXPECT_EQ(body_part_from_code(table[value].second), part);
    EXPECT_EQ(body_part_from_index(value), part);
  }
}

TEST(BodyPart, CodesMatchExactlyAndIndexesStopAt14) {
  for (std::string_view text : {"rf", "R F", "RFX", "", " RF", "Rf", "RightFoot"}) {
    EXPECT_EQ(body_part_from_code(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(body_part_from_index(14), BodyPart::RightFoot);
  EXPECT_EQ(body_part_from_index(15), std::nullopt);
  EXPECT_EQ(body_part_from_index(256), std::nullopt);
}

TEST(TrackerAddress, PrintsAsDecimalListAndOrdersBytewise) {
  EXPECT_EQ(fmt::format("{}", TrackerAddress{{1, 2, 3, 4, 5, 6}}), "[1, 2, 3, 4, 5, 6]");
  EXPECT_EQ(fmt::format("{}", TrackerAddress{{12, 34, 56, 78, 90, 255}}),
            "[12, 34, 56, 78, 90, 255]");
  EXPECT_LT((TrackerAddress{{1, 255, 255, 255, 255, 255}}), (TrackerAddress{{2, 0, 0, 0, 0, 0}}));
  EXPECT_LT((TrackerAddress{{1, 2, 3, 4, 5, 6}}), (TrackerAddress{{1, 2, 3, 4, 5, 7}}));
}

}  // namespace
}  // namespace sorvel
