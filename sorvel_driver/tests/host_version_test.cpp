#include <gtest/gtest.h>

#include "sorvel/driver/host/host.hpp"

namespace sorvel {
namespace {

TEST(FirmwareRequirement, ComesFromTheDriverVersionsBuildMetadata) {
  const auto requirement = firmware_requirement(kDriverVersion);
  ASSERT_TRUE(requirement.has_value());
  EXPECT_EQ(fmt::format("{}", *requirement), "~2.0.1");

  struct Case {
    std::string_view version;
    std::string_view error;
  };
  for (const Case& c : std::vector<Case>{
           {"2.0.1", "Firmware version constraint not set."},
           {"2.0.1+build.7", "Firmware version constraint not set."},
           {"not a version", "Firmware version constraint not set."},
           {"2.0.1+firmware.two", "Malformed firmware version constraint."},
           {"2.0.1+firmware.2.0.1.4", "Malformed firmware version constraint."},
       }) {
    auto failed = firmware_requirement(c.version);
    ASSERT_FALSE(failed.has_value()) << c.version;
    EXPECT_EQ(failed.error().message, c.error) << c.version;
  }
}

TEST(FirmwareRequirement, TildeMatchesThePatchRangeOfItsMinor) {
  const auto requirement = *parse_tilde_requirement("~2.0.1");
  struct Case {
    std::string_view version;
    bool matches;
  };
  for (const Case& c : std::vector<Case>{{"2.0.1", true},
                                         {"2.0.9", true},
                                         {"2.0.0", false},
                                         {"2.1.0", false},
                                         {"1.9.9", false},
                                         {"3.0.1", false},
                                         {"2.0.2-beta", false}}) {
    EXPECT_EQ(requirement.matches(*parse_version(c.version)), c.matches) << c.version;
  }
  const auto major_only = *parse_tilde_requirement("~1");
  EXPECT_TRUE(major_only.matches(*parse_version("1.7.0")));
  EXPECT_FALSE(major_only.matches(*parse_version("2.0.0")));
}

TEST(Version, ParsesSemanticVersionsAndPrintsTheirDebugForm) {
  const auto version = parse_version("2.0.1+firmware.2.0.1");
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->build, "firmware.2.0.1");
  EXPECT_EQ(fmt::format("{}", Version{1, 9, 0, {}, {}}),
            "Version { major: 1, minor: 9, patch: 0 }");
  for (std::string_view bad : {"", "1", "1.2", "01.2.3", "1.2.3.4", "1.2.x", "1.2.3+", "1.2.3-"}) {
    EXPECT_FALSE(parse_version(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace sorvel
