// The frame stream on a driver: every frame the report reader routes, in arrival order with its
// receive time, from subscribing to the end, which a lost receiver or a dropped driver brings.
#include "sorvel/trackers/frame_stream.hpp"
#include "host_harness.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel {
namespace {

using namespace testing;
using simulator::Bytes;

struct Received {
  BodyPart body_part;
  std::uint64_t value_a;
  bool operator==(const Received&) const = default;
};

/// Takes what is there, checking that times never go back and lie within [earliest, now].
std::vector<Received> take_all(FrameSubscription& frames, std::int64_t earliest) {
  std::vector<Received> out;
  std::int64_t last = earliest;
  frames.take(SIZE_MAX, [&](const StampedFrame& f) {
    EXPECT_GE(f.time_ns, last) << "receive times go back";
    EXPECT_LE(f.time_ns, platform::monotonic_ns());
    last = f.time_ns;
    out.push_back({f.frame.body_part, f.frame.value_a});
    return true;
  });
  return out;
}

/// Reports alternating between Head and Chest, numbered on from 1; and the frames they carry.
std::pair<Bytes, std::vector<Received>> alternating_reports(int count) {
  Bytes stream;
  std::vector<Received> frames;
  for (int r = 0; r < count; ++r) {
    const BodyPart part = r % 2 == 0 ? BodyPart::Head : BodyPart::Chest;
    const auto first = static_cast<std::uint64_t>(1 + 4 * r);
    append(stream, protocol::encode_report_frame(numbered_report(part, first)));
    for (std::uint64_t i = 0; i < 4; ++i) frames.push_back({part, first + i});
  }
  return {stream, frames};
}

TEST(DriverFrames, EveryRoutedFrameInArrivalOrderThenTheEndWhenTheDriverGoes) {
  auto [stream, expected] = alternating_reports(40);
  // A report for a body part nobody paired goes nowhere, in the stream as in polls.
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::RightFoot, 900)));
  const auto cut = transfers(stream);
  KitDriver kit(scripted_stream(cut));
  // Subscribed before pairing: frames come once reports flow.
  auto frames = kit.driver->host()->frames()->subscribe(1024, nullptr);
  auto small = kit.driver->host()->frames()->subscribe(8, nullptr);
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Chest}).has_value());
  const std::int64_t started = platform::monotonic_ns();
  ASSERT_TRUE(kit.start().has_value());
  ASSERT_TRUE(eventually([&] { return kit.reports_drained(cut.size()); }));

  EXPECT_EQ(take_all(*frames, started), expected);
  EXPECT_EQ(frames->dropped(), 0u);
  EXPECT_EQ(take_all(*small, started), std::vector<Received>(expected.end() - 8, expected.end()));
  EXPECT_EQ(small->dropped(), expected.size() - 8);
  EXPECT_EQ(frames->end(), FrameStreamEnd::Open);

  kit.driver.reset();
  EXPECT_EQ(frames->end(), FrameStreamEnd::Closed);
  EXPECT_EQ(small->end(), FrameStreamEnd::Closed);
}

TEST(DriverFrames, ALostReceiverEndsTheStreamAfterTheFramesAlreadyReceived) {
  auto [stream, expected] = alternating_reports(6);
  const auto cut = transfers(stream);
  KitDriver kit(scripted_stream(cut));
  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Chest}).has_value());
  auto frames = kit.driver->host()->frames()->subscribe(64, nullptr);
  ASSERT_TRUE(kit.start().has_value());
  ASSERT_TRUE(eventually([&] { return kit.reports_drained(cut.size()); }));

  kit.backend->unplug();
  const auto& streams = kit.driver->host()->frames();
  ASSERT_TRUE(eventually(
      [&] { return streams->subscribe(1, nullptr)->end() == FrameStreamEnd::ReceiverLost; }));
  EXPECT_EQ(frames->end(), FrameStreamEnd::Open) << "the frames come first";
  EXPECT_EQ(take_all(*frames, 0), expected);
  EXPECT_EQ(frames->end(), FrameStreamEnd::ReceiverLost);

  kit.driver.reset();
  EXPECT_EQ(frames->end(), FrameStreamEnd::ReceiverLost) << "a drop after the loss changes nothing";
}

}  // namespace
}  // namespace sorvel
