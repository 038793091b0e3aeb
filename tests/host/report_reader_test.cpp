// Frames through the whole path: kit stream -> report reader -> routing -> tracker set -> poll.
#include "host_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;
using simulator::Bytes;

class ReportReader : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

/// value_a of each polled frame, with its fresh flag.
std::vector<std::pair<std::uint64_t, bool>> poll_values(KitDriver& kit) {
  auto frames = kit.poll();
  EXPECT_TRUE(frames.has_value());
  std::vector<std::pair<std::uint64_t, bool>> out;
  if (frames) {
    for (const auto& [frame, fresh] : *frames) out.emplace_back(frame.value_a, fresh);
  }
  return out;
}

using Polled = std::vector<std::pair<std::uint64_t, bool>>;

KitDriver streaming_kit(const Bytes& stream, std::vector<BodyPart> group, std::size_t chunk = 64,
                        std::string suffix = {}) {
  const auto cut = transfers(stream, chunk);
  KitDriver kit(scripted_stream(cut), fast_timeouts(), test_name() + suffix);
  EXPECT_TRUE(kit.connect(std::move(group)).has_value());
  EXPECT_TRUE(kit.start().has_value());
  EXPECT_TRUE(eventually([&] { return kit.reports_drained(cut.size()); })) << "stream not consumed";
  return kit;
}

TEST_F(ReportReader, BeforeAnyFrameEveryTrackerShowsTheDefaultFrame) {
  KitDriver kit(scripted_stream({}));
  ASSERT_TRUE(kit.connect({BodyPart::RightFoot, BodyPart::Head}).has_value());
  EXPECT_EQ(kit.poll().error(), PollFailure::NotStarted);
  ASSERT_TRUE(kit.start().has_value());
  auto frames = kit.poll();
  ASSERT_TRUE(frames.has_value());
  ASSERT_EQ(frames->size(), 2u);
  for (const auto& [frame, fresh] : *frames) {
    EXPECT_EQ(frame, kDefaultFrame);
    EXPECT_FALSE(fresh);
  }
}

TEST_F(ReportReader, OneReportFillsTheQueueInSampleOrder) {
  auto kit = streaming_kit(protocol::encode_report_frame(numbered_report(BodyPart::Head, 1)),
                           {BodyPart::Head});
  const std::vector<Polled> expected{
      {{1, true}}, {{2, true}}, {{3, true}}, {{4, true}}, {{4, false}}};
  for (const auto& polled : expected) EXPECT_EQ(poll_values(kit), polled);
}

TEST_F(ReportReader, ASecondReportReplacesTheWholeQueue) {
  Bytes stream = protocol::encode_report_frame(numbered_report(BodyPart::Head, 1));
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 5)));
  auto kit = streaming_kit(stream, {BodyPart::Head});
  const std::vector<Polled> expected{{{5, true}}, {{6, true}},  {{7, true}},
                                     {{8, true}}, {{8, false}}, {{8, false}}};
  for (const auto& polled : expected) EXPECT_EQ(poll_values(kit), polled);
}

TEST_F(ReportReader, FramesAreFoundWhateverCutsTheStream) {
  Bytes stream = protocol::encode_report_frame(numbered_report(BodyPart::Head, 1));
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 5)));
  // 2-byte transfers split the marker; 1-byte ones split everything; 64 keeps the bytes after
  // one payload in the transfer that ends it.
  for (std::size_t chunk : {1u, 2u, 3u, 5u, 64u}) {
    auto kit = streaming_kit(stream, {BodyPart::Head}, chunk, std::to_string(chunk));
    EXPECT_EQ(poll_values(kit), (Polled{{5, true}})) << "chunks of " << chunk;
  }
}

TEST_F(ReportReader, GarbageOfAnyLengthBeforeAFrameIsSkippedSilently) {
  // Seven trackers, each frame behind 1 to 7 bytes of garbage.
  Bytes stream;
  std::vector<BodyPart> group;
  for (std::uint8_t length = 1; length <= 7; ++length) {
    const auto part = static_cast<BodyPart>(length);
    group.push_back(part);
    append(stream, Bytes(length, 0xA5));
    append(stream, protocol::encode_report_frame(numbered_report(part, 10 * length)));
  }
  auto kit = streaming_kit(stream, group);
  auto frames = kit.poll();
  ASSERT_TRUE(frames.has_value());
  ASSERT_EQ(frames->size(), 7u);
  for (const auto& [frame, fresh] : *frames) {
    EXPECT_TRUE(fresh) << "frame behind garbage was lost for " << name(frame.body_part);
    EXPECT_EQ(frame.value_a, 10 * static_cast<std::uint64_t>(frame.body_part));
  }
  EXPECT_EQ(count_lines(log::kUsbTarget, "error receiving usb data"), 0u);
}

TEST_F(ReportReader, AMalformedPayloadIsLoggedOnceAndReadingGoesOn) {
  Bytes stream{'S', 'O', 'R', '.', 0x00, 0x00};  // a zero-length payload
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 1)));
  auto kit = streaming_kit(stream, {BodyPart::Head});
  EXPECT_EQ(poll_values(kit), (Polled{{1, true}}));
  EXPECT_EQ(count_lines(log::kUsbTarget,
                        "error receiving usb data: ReportError(DeserializeUnexpectedEnd)"),
            1u);
}

TEST_F(ReportReader, AReportForAnUnpairedBodyPartGoesNowhere) {
  Bytes stream = protocol::encode_report_frame(numbered_report(BodyPart::RightFoot, 1));
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 5)));
  auto kit = streaming_kit(stream, {BodyPart::Head});
  EXPECT_EQ(poll_values(kit), (Polled{{5, true}}));
  EXPECT_EQ(count_lines(log::kUsbTarget, "error"), 0u);
}

}  // namespace
}  // namespace sorvel
