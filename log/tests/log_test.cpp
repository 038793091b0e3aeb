#include <gtest/gtest.h>

#include <fmt/format.h>

#include "sorvel/log/capture.hpp"

namespace sorvel::log {
namespace {

struct Loud {
  int* formatted;
};

}  // namespace
}  // namespace sorvel::log

template <>
struct fmt::formatter<sorvel::log::Loud> : fmt::formatter<int> {
  auto format(const sorvel::log::Loud& loud, format_context& ctx) const {
    ++*loud.formatted;
    return fmt::formatter<int>::format(*loud.formatted, ctx);
  }
};

namespace sorvel::log {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { capture().clear(); }
  void TearDown() override { set_threshold(Level::Trace); }
};

TEST_F(LogTest, RecordsCarryLevelTargetAndFormattedText) {
  info(kTrackersTarget, "Added driver: {}", 7);
  error(kUsbTarget, "error receiving usb data: {}", "x");
  EXPECT_EQ(capture().records(),
            (std::vector<CapturedRecord>{
                {Level::Info, "trackers", "Added driver: 7"},
                {Level::Error, "sorvel_driver::host::usb", "error receiving usb data: x"}}));
}

TEST_F(LogTest, ThresholdAdmitsOnlyAsSevereOrMoreAndSkipsFormatting) {
  struct Case {
    Level threshold;
    std::vector<Level> admitted;
  };
  const std::vector<Case> cases{
      {Level::Off, {}},
      {Level::Error, {Level::Error}},
      {Level::Info, {Level::Error, Level::Warn, Level::Info}},
      {Level::Trace, {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace}},
  };
  for (const auto& c : cases) {
    capture().clear();
    set_threshold(c.threshold);
    int formatted = 0;
    for (Level level : {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace}) {
      log(level, kHostTarget, "{}", Loud{&formatted});
    }
    std::vector<Level> seen;
    for (const auto& record : capture().records()) seen.push_back(record.level);
    EXPECT_EQ(seen, c.admitted) << level_name(c.threshold);
    EXPECT_EQ(formatted, static_cast<int>(c.admitted.size())) << "formatted a dropped record";
  }
}

TEST_F(LogTest, OnlyTheFirstLoggerIsInstalled) {
  capture();
  Logger* before = installed();
  EXPECT_FALSE(install(std::make_unique<CapturingLogger>()));
  EXPECT_EQ(installed(), before);
}

}  // namespace
}  // namespace sorvel::log
