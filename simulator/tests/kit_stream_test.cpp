// The report endpoint read as a stream: scripted and paced transfers in order, the ways a stream
// ends, and completion stamps from the generated stream up to a driver's poll.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include <fmt/format.h>

#include "generated_stream.hpp"
#include "kit_harness.hpp"
#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/protocol/report_stream.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;
namespace cmd = protocol::command;

std::uint64_t now_ns() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

/// Keeps what the kit hands it; a test waits on it from its own thread.
class RecordingSink final : public usb::StreamSink {
 public:
  void on_transfer(std::span<const std::uint8_t> data) override {
    const std::uint64_t arrived = now_ns();
    std::lock_guard lock(mutex_);
    if (!ends_.empty()) transfer_after_end_ = true;
    transfers_.emplace_back(data.begin(), data.end());
    arrivals_.push_back(arrived);
    changed_.notify_all();
  }
  void on_end(TransferError error) override {
    std::lock_guard lock(mutex_);
    ends_.push_back(error);
    changed_.notify_all();
  }

  /// Waits (bounded) for `count` transfers; false if they did not come.
  bool wait_for_transfers(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return transfers_.size() >= count; });
  }
  bool wait_for_end() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return !ends_.empty(); });
  }
  std::vector<Bytes> transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
  }
  std::vector<std::uint64_t> arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  std::vector<TransferError> ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  bool transfer_after_end() const {
    std::lock_guard lock(mutex_);
    return transfer_after_end_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> transfers_;
  std::vector<std::uint64_t> arrivals_;
  std::vector<TransferError> ends_;
  bool transfer_after_end_ = false;
};

Scenario parsed(const std::string& json) {
  auto scenario = parse_scenario(json);
  EXPECT_TRUE(scenario.has_value()) << scenario.error();
  return scenario ? *scenario : Scenario{};
}

/// Waits (bounded) until the kit's state satisfies `condition`.
template <typename Condition>
bool kit_reaches(const OpenKit& kit, Condition condition) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!condition(*kit.backend->state())) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string hex_list(std::uint8_t tag, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += fmt::format("{}\"{:02X}{:02X}\"", i ? ", " : "", tag, i);
  return out;
}

TEST(KitStream, PacedTransfersArriveInOrderAndAnActionQueuedBehindWaitsForThem) {
  OpenKit kit(parsed(fmt::format(
      R"({{"stream": {{"rate_hz": 0}}, "script": [
            {{"on": "Go", "report_transfers": [{}], "report_interval_us": 200}},
            {{"on": "Go", "report_transfers": [{}]}}]}})",
      hex_list(0xA0, 40), hex_list(0xB0, 3))));
  auto reports = kit.claim_reports();
  auto sink = std::make_shared<RecordingSink>();
  auto stream = reports->read_stream(0x81, 64, sink);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());

  ASSERT_TRUE(sink->wait_for_transfers(43));
  std::vector<Bytes> expected;
  for (std::uint8_t i = 0; i < 40; ++i) expected.push_back({0xA0, i});
  for (std::uint8_t i = 0; i < 3; ++i) expected.push_back({0xB0, i});
  EXPECT_EQ(sink->transfers(), expected);
  EXPECT_TRUE(kit_reaches(kit, [](const KitState& s) {
    return s.pending_report_reads == 1 && s.report_backlog == 0;
  })) << "the stream waits for more once everything is read";
  EXPECT_EQ(kit.backend->state()->report_transfers_delivered, 43u);
  EXPECT_TRUE(sink->ends().empty());
  stream->cancel();
  ASSERT_TRUE(sink->wait_for_end());
}

TEST(KitStream, ACancelEndsAStreamWaitingForAPacedTransferOnce) {
  // The second transfer is due a minute after the first: the stream waits for it.
  OpenKit kit(parsed(R"({"stream": {"rate_hz": 0}, "script": [{"on": "Go",
      "report_transfers": ["01", "02", "03"], "report_interval_us": 60000000}]})"));
  auto reports = kit.claim_reports();
  auto sink = std::make_shared<RecordingSink>();
  auto stream = reports->read_stream(0x81, 64, sink);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  ASSERT_TRUE(sink->wait_for_transfers(1));
  ASSERT_TRUE(kit_reaches(kit, [](const KitState& s) { return s.pending_report_reads == 1; }));
  EXPECT_EQ(kit.backend->state()->report_backlog, 2u);

  stream->cancel();
  stream->cancel();
  ASSERT_TRUE(sink->wait_for_end());
  EXPECT_TRUE(kit_reaches(kit, [](const KitState& s) { return s.pending_transfers == 0; }));
  EXPECT_EQ(sink->ends(), std::vector<TransferError>{TransferError::Cancelled});
  EXPECT_EQ(sink->transfers(), std::vector<Bytes>{{0x01}});
}

TEST(KitStream, EndsAsASubmittedReadWould) {
  struct Row {
    std::string name;
    std::string scenario;
    std::size_t length;
    std::optional<protocol::Command> trigger;  ///< sent once the stream is waiting
    TransferError end;
    bool reread_waits;  ///< a stream started after the end waits for data instead of failing
  };
  const std::vector<Row> rows{
      {"scripted failure",
       R"({"stream": {"rate_hz": 0},
           "script": [{"on": "Calibrate", "fail": {"endpoint": 129, "status": "Stall"}}]})",
       64, cmd::Calibrate{}, TransferError::Stall, true},
      {"scripted failure before the stream",
       R"({"stream": {"rate_hz": 0},
           "script": [{"on": "open", "fail": {"endpoint": 129, "status": "Fault"}}]})",
       64, std::nullopt, TransferError::Fault, true},
      {"unplug", R"({"stream": {"rate_hz": 0}, "script": [{"on": "Calibrate", "unplug": true}]})",
       64, cmd::Calibrate{}, TransferError::Disconnected, false},
      {"overflow", R"({"stream": {"rate_hz": 0}, "script": [{"on": "Go",
           "report_transfers": ["010203"]}]})",
       2, cmd::Go{}, TransferError::Fault, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OpenKit kit(parsed(row.scenario), "ends " + row.name);
    auto reports = kit.claim_reports();
    auto sink = std::make_shared<RecordingSink>();
    auto stream = reports->read_stream(0x81, row.length, sink);
    if (row.trigger) {
      ASSERT_TRUE(kit_reaches(kit, [](const KitState& s) { return s.pending_report_reads == 1; }));
      const auto command = protocol::command_transfer(*row.trigger);
      kit.commands->submit_out(0x01, {command.begin(), command.end()}, [](auto) {});
    }
    ASSERT_TRUE(sink->wait_for_end());
    EXPECT_EQ(sink->ends(), std::vector<TransferError>{row.end});
    EXPECT_TRUE(sink->transfers().empty());

    auto again = std::make_shared<RecordingSink>();
    auto second = reports->read_stream(0x81, row.length, again);
    if (row.reread_waits) {
      EXPECT_TRUE(kit_reaches(kit, [](const KitState& s) { return s.pending_report_reads == 1; }));
      second->cancel();
    }
    ASSERT_TRUE(again->wait_for_end());
    EXPECT_EQ(again->ends(),
              std::vector<TransferError>{row.reread_waits ? TransferError::Cancelled
                                                          : TransferError::Disconnected});
  }
}

TEST(KitStream, ASecondStreamOnTheEndpointIsRefused) {
  OpenKit kit(parsed(R"({"stream": {"rate_hz": 0}})"));
  auto reports = kit.claim_reports();
  auto first = std::make_shared<RecordingSink>();
  auto stream = reports->read_stream(0x81, 64, first);
  auto second = std::make_shared<RecordingSink>();
  reports->read_stream(0x81, 64, second);
  ASSERT_TRUE(second->wait_for_end());
  EXPECT_EQ(second->ends(), std::vector<TransferError>{TransferError::Stall});
  EXPECT_TRUE(first->ends().empty());
  stream->cancel();
  ASSERT_TRUE(first->wait_for_end());
}

TEST(KitStream, CancelMidStreamEndsOnceAndEveryStampPrecedesItsArrival) {
  OpenKit kit(parsed(R"({"stream": {"rate_hz": 1000, "stamp_completion": true}})"));
  auto reports = kit.claim_reports();
  std::vector<BodyPart> everyone;
  for (std::size_t v = 0; v < kBodyPartCount; ++v) everyone.push_back(static_cast<BodyPart>(v));
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(everyone)).ok());
  for (std::size_t i = 0; i < kBodyPartCount + 1; ++i) next_response(*kit.commands);
  const std::uint64_t started = now_ns();
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  auto sink = std::make_shared<RecordingSink>();
  auto stream = reports->read_stream(0x81, 64, sink);
  ASSERT_TRUE(sink->wait_for_transfers(500));
  std::thread canceller([&] { stream->cancel(); });
  canceller.join();
  ASSERT_TRUE(sink->wait_for_end());
  EXPECT_EQ(sink->ends(), std::vector<TransferError>{TransferError::Cancelled});
  EXPECT_FALSE(sink->transfer_after_end());
  EXPECT_TRUE(kit_reaches(kit, [](const KitState& s) { return s.pending_report_reads == 0; }));

  const auto transfers = sink->transfers();
  const auto arrivals = sink->arrivals();
  protocol::ReportStream parser;
  std::size_t samples = 0;
  for (std::size_t k = 0; k < transfers.size(); ++k) {
    EXPECT_LE(transfers[k].size(), 64u);
    parser.feed(transfers[k], [&](const protocol::ReportStream::Item& item) {
      ASSERT_TRUE(item.has_value()) << "transfer " << k;
      for (const auto& sample : item->samples) {
        ++samples;
        EXPECT_GE(sample.value_a, started);
        EXPECT_LE(sample.value_a, arrivals[k]) << "stamped after it reached the reader";
      }
    });
  }
  EXPECT_GT(samples, 500u);
}

TEST(KitStream, TheBacklogStaysBoundedOnceTheReaderHasStopped) {
  // A full kit at the highest rate, whose reader fails and is never restarted.
  OpenKit kit(parsed(R"({"stream": {"rate_hz": 2000},
      "script": [{"on": "Calibrate", "fail": {"endpoint": 129, "status": "Stall"}}]})"));
  auto reports = kit.claim_reports();
  std::vector<BodyPart> everyone;
  for (std::size_t v = 0; v < kBodyPartCount; ++v) everyone.push_back(static_cast<BodyPart>(v));
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(everyone)).ok());
  for (std::size_t i = 0; i < kBodyPartCount + 1; ++i) next_response(*kit.commands);
  auto sink = std::make_shared<RecordingSink>();
  auto stream = reports->read_stream(0x81, 64, sink);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  ASSERT_TRUE(sink->wait_for_transfers(10));
  ASSERT_TRUE(send(*kit.commands, cmd::Calibrate{}).ok());
  ASSERT_TRUE(sink->wait_for_end());

  // Well past the bound: the receiver keeps generating, and what it cannot keep it drops.
  std::size_t largest = 0;
  EXPECT_TRUE(kit_reaches(kit, [&](const KitState& s) {
    largest = std::max(largest, s.report_backlog);
    return s.reports_dropped >= 3000;
  }));
  const KitState state = *kit.backend->state();
  EXPECT_TRUE(state.streaming);
  EXPECT_LE(largest, GeneratedStream::kLimit);
  EXPECT_GT(state.report_backlog, GeneratedStream::kLimit / 2) << "kept what was there";
}

// Exact stamps and where transfers end, on the generated stream alone: each transfer's stamps
// are written with its own number, so a decoded sample says which transfer it started in.
TEST(GeneratedStream, StampsDecodeExactlyAndASampleThatFitsATransferTravelsWhole) {
  std::vector<protocol::SensorReport> reports;
  for (std::uint32_t r = 0; r < 12; ++r) {
    protocol::SensorReport report;
    report.body_part = static_cast<BodyPart>(r % kBodyPartCount);
    report.header = r * 977;
    for (std::size_t i = 0; i < report.samples.size(); ++i) {
      auto& sample = report.samples[i];
      sample.value_a = 5;
      sample.value_b = std::uint64_t{1} << (r * 5 % 64);  // varints of every length
      sample.orientation = {static_cast<std::int16_t>(-300 * r), 7, -16384, 16384};
      sample.second_quaternion = {0, static_cast<std::int16_t>(r * 1000), 0, 16384};
      sample.acceleration = {1, -2, 2511};
      sample.scalar = static_cast<std::int16_t>(400 - r);
      sample.body_part = report.body_part;
      sample.accuracy = static_cast<std::uint16_t>(r * 4 + i);
    }
    reports.push_back(report);
  }
  for (const std::size_t length : {64u, 24u, 5u}) {
    SCOPED_TRACE(length);
    GeneratedStream stream(true);
    for (const auto& report : reports) stream.append(report);
    const std::uint64_t before = now_ns();
    Bytes all;
    std::vector<std::size_t> ends;  // where each transfer ends in `all`
    std::set<std::size_t> patched;  // where stamps written at completion begin in `all`
    while (!stream.empty()) {
      const std::size_t size = stream.next_size(length);
      ASSERT_GE(size, 1u);
      ASSERT_LE(size, length);
      Bytes transfer(size);
      std::vector<std::uint32_t> stamps;
      stream.take(transfer, stamps);
      for (std::uint32_t offset : stamps) {
        write_stamp(transfer.data() + offset, ends.size() + 1);
        patched.insert(all.size() + offset);
      }
      all.insert(all.end(), transfer.begin(), transfer.end());
      ends.push_back(all.size());
    }
    const std::uint64_t after = now_ns();
    auto transfer_of = [&](std::size_t at) {
      return static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), at) -
                                      ends.begin());
    };

    std::size_t at = 0;
    for (const auto& original : reports) {
      ASSERT_EQ(Bytes(all.begin() + at, all.begin() + at + 4), Bytes({'S', 'O', 'R', '.'}));
      const std::size_t payload = all[at + 4] | (all[at + 5] << 8);
      const std::size_t frame_end = at + protocol::kReportHeaderSize + payload;
      auto decoded = protocol::decode_sensor_report(std::span(all).subspan(at + 6, payload));
      ASSERT_TRUE(decoded.has_value());
      // Samples lie back to back and the stamps written at completion mark where they begin.
      std::vector<std::size_t> begins(patched.lower_bound(at), patched.lower_bound(frame_end));
      for (std::size_t i = 0; i < original.samples.size(); ++i) {
        auto expected = original.samples[i];
        const std::uint64_t stamp = decoded->samples[i].value_a;
        expected.value_a = stamp;
        EXPECT_EQ(decoded->samples[i], expected) << "only value_a changes";
        if (stamp > ends.size()) {
          EXPECT_NE(length, 64u) << "a transfer end split the stamp of sample " << i;
          EXPECT_GE(stamp, before) << "a stamp split by a transfer end is the time it was cut";
          EXPECT_LE(stamp, after);
          continue;
        }
        if (length != 64) continue;
        ASSERT_EQ(begins.size(), original.samples.size());
        const std::size_t end = i + 1 < begins.size() ? begins[i + 1] : frame_end;
        EXPECT_EQ(transfer_of(begins[i]), stamp - 1);
        EXPECT_EQ(transfer_of(end - 1), stamp - 1) << "sample " << i << " was split";
      }
      at = frame_end;
    }
    EXPECT_EQ(at, all.size());
    if (length == 64) {
      // A transfer ends early only where a sample begins that the rest could not hold.
      for (std::size_t k = 0; k + 1 < ends.size(); ++k) {
        const std::size_t size = ends[k] - (k == 0 ? 0 : ends[k - 1]);
        if (size < 64) {
          EXPECT_TRUE(patched.contains(ends[k])) << "transfer " << k;
        }
      }
    }
  }
}

TEST(KitStream, AStampReachesPollAsTheKitWroteIt) {
  Scenario scenario;
  scenario.stamp_completion = true;
  VirtualKitBackend backend("stamp to poll", scenario);
  auto device = open_receiver(backend);
  ASSERT_TRUE(device.has_value());
  auto opened = runtime::block_on(Driver::open(std::move(*device)));
  ASSERT_TRUE(opened && *opened);
  std::shared_ptr<Driver> driver = std::move(**opened);
  ASSERT_TRUE(*runtime::block_on(driver->connect({BodyPart::Head, BodyPart::Chest})));
  const std::uint64_t started = now_ns();
  ASSERT_TRUE(*runtime::block_on(driver->start()));

  std::size_t fresh = 0;
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  while (fresh < 20 && std::chrono::steady_clock::now() < give_up) {
    auto polled = driver->poll();
    const std::uint64_t polled_at = now_ns();
    ASSERT_TRUE(polled.has_value());
    if (!*polled) continue;
    for (const auto& [frame, is_fresh] : **polled) {
      if (!is_fresh) continue;
      ++fresh;
      EXPECT_GE(frame.value_a, started);
      EXPECT_LE(frame.value_a, polled_at);
    }
  }
  EXPECT_GE(fresh, 20u);
}

}  // namespace
}  // namespace sorvel::simulator
