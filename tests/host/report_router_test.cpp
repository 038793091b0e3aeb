// The report reader's end of the stream on its own: what one transfer's bytes become, and what
// is held while they are decoded.
#include <chrono>
#include <future>

#include "host_harness.hpp"
#include "sorvel/driver/host/report_router.hpp"

namespace sorvel {
namespace {

using namespace testing;
using simulator::Bytes;

constexpr auto kPatience = std::chrono::seconds(10);

struct RoutedReports {
  RoutedReports() {
    for (BodyPart part : {BodyPart::Head, BodyPart::Hips}) {
      routing->replace(part, {std::make_shared<FrameQueue>(), std::make_shared<LatestFrame>()});
    }
  }

  std::vector<StampedFrame> take(FrameSubscription& subscription) {
    std::vector<StampedFrame> out;
    subscription.take(SIZE_MAX, [&](const StampedFrame& frame) {
      out.push_back(frame);
      return true;
    });
    return out;
  }

  std::shared_ptr<RoutingTable> routing = std::make_shared<RoutingTable>();
  std::shared_ptr<FrameStreams> streams = std::make_shared<FrameStreams>();
  ReportRouter router{routing, streams};
};

TEST(ReportRouter, EveryFrameOfOneTransferIsPublishedInOrderWithOneTime) {
  // From none to more reports than one transfer of the bus ever carries.
  for (std::uint64_t reports : {0u, 1u, 2u, 4u, 5u, 9u, 40u}) {
    SCOPED_TRACE(reports);
    RoutedReports routed;
    auto subscription = routed.streams->subscribe(4096, nullptr);
    Bytes transfer;
    for (std::uint64_t r = 0; r < reports; ++r) {
      const BodyPart part =
          r % 3 == 2 ? BodyPart::Chest : (r % 2 ? BodyPart::Hips : BodyPart::Head);
      append(transfer, protocol::encode_report_frame(numbered_report(part, 4 * r)));
    }
    routed.router.on_transfer(transfer);

    std::vector<std::uint64_t> expected;
    for (std::uint64_t r = 0; r < reports; ++r) {
      if (r % 3 == 2) continue;  // Chest is not routed
      for (std::uint64_t i = 0; i < 4; ++i) expected.push_back(4 * r + i);
    }
    const auto frames = routed.take(*subscription);
    std::vector<std::uint64_t> values;
    for (const auto& frame : frames) {
      values.push_back(frame.frame.value_a);
      EXPECT_EQ(frame.time_ns, frames.front().time_ns);
    }
    EXPECT_EQ(values, expected);
  }
}

TEST(ReportRouter, NothingOfTheFrameStreamsIsHeldWhileAReportErrorIsLogged) {
  log::capture().clear();
  RoutedReports routed;
  auto listening = routed.streams->subscribe(64, nullptr);
  // A logger that writes to a full pipe waits; meanwhile a Python thread opens a stream.
  std::future<std::unique_ptr<FrameSubscription>> opened;
  bool opened_while_logging = false;
  log::capture().on_write([&](const log::CapturedRecord& record) {
    if (record.message.find("error receiving usb data") == std::string::npos) return;
    opened = std::async(std::launch::async, [&] { return routed.streams->subscribe(1, nullptr); });
    opened_while_logging = opened.wait_for(kPatience) == std::future_status::ready;
  });
  Bytes transfer = protocol::encode_report_frame(numbered_report(BodyPart::Head, 1));
  append(transfer, Bytes{'S', 'O', 'R', '.', 0x00, 0x00});  // a zero-length payload
  routed.router.on_transfer(transfer);
  log::capture().clear();

  EXPECT_TRUE(opened_while_logging);
  ASSERT_TRUE(opened.valid());
  EXPECT_NE(opened.get(), nullptr);
  EXPECT_EQ(routed.take(*listening).size(), 4u) << "the frames before the error still go out";
}

}  // namespace
}  // namespace sorvel
