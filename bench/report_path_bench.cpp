// The report path on one core: a raw 0x81 byte stream, cut into 64-byte transfers, through the
// report reader's sink (parser, conversion, routing into the queues and latest-frame cells of 15
// trackers), with an in-memory interface that completes every transfer at once on this thread.
//
//   sorvel_report_path_bench <stream-file> [--smoke]
//   sorvel_report_path_bench --generate N [--smoke]
//
// A frame is one tracker frame routed: a report that decodes carries four. Each run repeats the
// whole input until it has taken at least a second (smoke: once); the result is the median of 5
// runs (smoke: 1). Allocations are counted by the global operator new, only while transfers are
// being handed over. The same input then goes through once more with one frame-stream subscriber
// attached (a consumer that never reads, so its ring keeps overwriting): the stream path's rate
// and allocations. Prints one JSON object on stdout.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sorvel/driver/host/report_router.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/report_stream.hpp"
#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/frame_stream.hpp"
#include "sorvel/trackers/routing_table.hpp"
#include "sorvel/trackers/tracker_set.hpp"

// --- allocation counting ------------------------------------------------------------------------

namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};

void* allocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  const auto align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  void* p = nullptr;
  if (::posix_memalign(&p, align, size == 0 ? 1 : size) == 0) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return allocate_aligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return allocate_aligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace {

using namespace sorvel;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTransferLength = 64;

int fail(const std::string& message) {
  std::fprintf(stderr, "sorvel_report_path_bench: %s\n", message.c_str());
  return 1;
}

/// The stream cut as the receiver's endpoint delivers it: 64-byte transfers, the last shorter.
std::vector<std::span<const std::uint8_t>> cut(const Bytes& stream) {
  std::vector<std::span<const std::uint8_t>> transfers;
  for (std::size_t at = 0; at < stream.size(); at += kTransferLength) {
    transfers.emplace_back(stream.data() + at, std::min(kTransferLength, stream.size() - at));
  }
  return transfers;
}

/// An interface whose stream hands over every transfer of `transfers` at once, in a loop on the
/// calling thread, then ends; it times the loop and counts allocations only inside it.
class MemoryInterface final : public usb::Interface {
 public:
  explicit MemoryInterface(std::vector<std::span<const std::uint8_t>> transfers)
      : transfers_(std::move(transfers)) {}

  std::uint8_t number() const override { return 0; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t) override { return {}; }
  std::shared_ptr<usb::PendingTransfer> submit_in(std::uint8_t, std::size_t,
                                                  usb::TransferCallback done) override {
    done(usb::TransferResult{TransferError::Stall, {}});
    return std::make_shared<Done>();
  }
  std::shared_ptr<usb::PendingTransfer> submit_out(std::uint8_t, Bytes,
                                                   usb::TransferCallback done) override {
    done(usb::TransferResult{TransferError::Stall, {}});
    return std::make_shared<Done>();
  }

  std::shared_ptr<usb::PendingTransfer> read_stream(
      std::uint8_t, std::size_t, std::shared_ptr<usb::StreamSink> sink) override {
    auto handle = std::make_shared<Done>();
    g_counting.store(true, std::memory_order_relaxed);
    const auto start = Clock::now();
    for (const auto& transfer : transfers_) {
      sink->on_submit();
      sink->on_transfer(transfer);
    }
    const auto stop = Clock::now();
    g_counting.store(false, std::memory_order_relaxed);
    elapsed_ += stop - start;
    sink->on_end(TransferError::Cancelled);
    return handle;
  }

  Clock::duration elapsed() const { return elapsed_; }
  void reset() { elapsed_ = {}; }

 private:
  struct Done final : usb::PendingTransfer {
    void cancel() override {}
  };

  std::vector<std::span<const std::uint8_t>> transfers_;
  Clock::duration elapsed_{};
};

/// Tracker frames that decode from the stream cut into transfers, as the reader's parser sees them.
std::size_t decodable_frames(const std::vector<std::span<const std::uint8_t>>& transfers) {
  protocol::ReportStream stream;
  std::size_t frames = 0;
  for (const auto& transfer : transfers) {
    stream.feed(transfer, [&](const protocol::ReportStream::Item& item) {
      if (item) frames += item->samples.size();
    });
  }
  return frames;
}

/// `count` reports over the 15 body parts in turn, with samples that move like a worn tracker.
Bytes generate(std::size_t count) {
  Bytes stream;
  for (std::size_t i = 0; i < count; ++i) {
    protocol::SensorReport report;
    report.body_part = static_cast<BodyPart>(i % kBodyPartCount);
    report.header = static_cast<std::uint32_t>(i);
    for (std::size_t k = 0; k < report.samples.size(); ++k) {
      auto& sample = report.samples[k];
      const std::uint64_t n = 4 * i + k;
      const float angle = 0.001f * static_cast<float>(n);
      const float half = angle / 2;
      auto fixed = [](float v, int bits) { return protocol::float_to_fixed(v, bits); };
      sample.value_a = 1'000'000 + 2'500 * n;
      sample.value_b = n;
      sample.orientation = {fixed(std::sin(half) * 0.6f, protocol::kQuaternionBits),
                            fixed(std::sin(half) * 0.8f, protocol::kQuaternionBits), 0,
                            fixed(std::cos(half), protocol::kQuaternionBits)};
      sample.second_quaternion = {0, 0, fixed(std::sin(half), protocol::kQuaternionBits),
                                  fixed(std::cos(half), protocol::kQuaternionBits)};
      sample.acceleration = {fixed(0.3f * std::sin(angle), protocol::kAccelerationBits),
                             fixed(0.2f * std::cos(angle), protocol::kAccelerationBits),
                             fixed(9.81f, protocol::kAccelerationBits)};
      sample.scalar = fixed(21.5f, protocol::kScalarBits);
      sample.extra = static_cast<std::uint8_t>(n & 0x7F);
      sample.body_part = report.body_part;
      sample.accuracy = 3;
    }
    const Bytes frame = protocol::encode_report_frame(report);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

struct Run {
  double frames_per_s;
  std::uint64_t frames;
  std::uint64_t allocations;
};

/// Whole passes over the input, each a stream of its own, until `at_least` of streaming.
Run run(MemoryInterface& interface, std::shared_ptr<RoutingTable> routing,
        std::shared_ptr<FrameStreams> streams, std::size_t frames_per_pass,
        Clock::duration at_least) {
  interface.reset();
  const std::uint64_t allocations_before = g_allocations.load();
  std::uint64_t passes = 0;
  do {
    (void)interface.read_stream(0x81, kTransferLength,
                                std::make_shared<ReportRouter>(routing, streams));
    ++passes;
  } while (interface.elapsed() < at_least);
  const double seconds = std::chrono::duration<double>(interface.elapsed()).count();
  const std::uint64_t frames = passes * frames_per_pass;
  return {static_cast<double>(frames) / seconds, frames, g_allocations.load() - allocations_before};
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> path;
  std::optional<std::size_t> generated;
  bool smoke = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--smoke") {
      smoke = true;
    } else if (arg == "--generate" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long long n = std::strtoull(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0') return fail(std::string("not a count: ") + argv[i]);
      generated = static_cast<std::size_t>(n);
    } else if (!path && !arg.starts_with("--")) {
      path = std::string(arg);
    } else {
      return fail("usage: sorvel_report_path_bench <stream-file> | --generate N  [--smoke]");
    }
  }
  if (path.has_value() == generated.has_value()) {
    return fail("usage: sorvel_report_path_bench <stream-file> | --generate N  [--smoke]");
  }

  Bytes stream;
  if (path) {
    std::ifstream in(*path, std::ios::binary);
    if (!in) return fail("cannot read the stream file '" + *path + "'");
    stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    stream = generate(*generated);
  }
  const auto transfers = cut(stream);
  const std::size_t frames_per_pass = decodable_frames(transfers);
  if (frames_per_pass == 0) return fail("the stream decodes to no frame");

  // One tracker per body part at the default kit's addresses, as after pairing the whole body.
  auto routing = std::make_shared<RoutingTable>();
  std::map<TrackerAddress, BodyPart> paired;
  for (std::size_t v = 0; v < kBodyPartCount; ++v) {
    paired.emplace(TrackerAddress{{16, 0, 0, 0, 0, static_cast<std::uint8_t>(v + 1)}},
                   static_cast<BodyPart>(v));
  }
  const TrackerSet trackers =
      TrackerSet::build(paired, *routing, std::make_shared<std::atomic<bool>>(true));

  MemoryInterface interface(transfers);
  const int runs = smoke ? 1 : 5;
  const Clock::duration at_least = smoke ? Clock::duration::zero() : std::chrono::seconds(1);
  /// Median rate and allocations per frame over the runs.
  auto measure = [&](const std::shared_ptr<FrameStreams>& streams) {
    std::vector<double> rates;
    std::uint64_t frames = 0;
    std::uint64_t allocations = 0;
    for (int i = 0; i < runs; ++i) {
      const Run r = run(interface, routing, streams, frames_per_pass, at_least);
      rates.push_back(r.frames_per_s);
      frames += r.frames;
      allocations += r.allocations;
    }
    std::sort(rates.begin(), rates.end());
    return std::pair{rates[rates.size() / 2],
                     static_cast<double>(allocations) / static_cast<double>(frames)};
  };
  const auto [rate, allocs_per_frame] = measure(nullptr);

  // One subscriber, its ring allocated here, before counting starts.
  auto streams = std::make_shared<FrameStreams>();
  auto subscriber = streams->subscribe(4096, nullptr);
  const auto [stream_rate, stream_allocs_per_frame] = measure(streams);
  std::uint64_t streamed = 0;
  subscriber->take(SIZE_MAX, [&](const StampedFrame&) {
    ++streamed;
    return true;
  });
  if (streamed + subscriber->dropped() == 0) return fail("no frame reached the subscriber");

  // The frames went somewhere: some tracker's newest frame is no longer the default one.
  const auto polled = trackers.poll();
  const bool routed = polled && std::any_of(polled->begin(), polled->end(), [](const auto& entry) {
                        return !(entry.first == kDefaultFrame);
                      });
  if (!routed) return fail("no frame reached a tracker");

  std::printf(
      "{\"report_path_frames_per_s\": {\"value\": %.1f, \"unit\": \"frames/s\"}, "
      "\"report_path_allocs_per_frame\": {\"value\": %.6g, \"unit\": \"allocs/frame\"}, "
      "\"stream_path_frames_per_s\": {\"value\": %.1f, \"unit\": \"frames/s\"}, "
      "\"stream_allocs_per_frame\": {\"value\": %.6g, \"unit\": \"allocs/frame\"}, "
      "\"frames\": %zu}\n",
      rate, allocs_per_frame, stream_rate, stream_allocs_per_frame, frames_per_pass);
  return 0;
}
