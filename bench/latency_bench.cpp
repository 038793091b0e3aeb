// How long a sample takes from the USB completion that carries it to the poll that returns it.
//
// The default virtual kit (15 trackers, 100 reports a second each) stamps every sample with the
// steady clock's time at which the transfer carrying it completes; one thread polls the driver
// as fast as it can, with no pause between polls, and for each fresh frame takes
// now - stamp. Prints one JSON object: the median and the 99th percentile in microseconds, and
// how many frames they come from.
//
//   sorvel_latency_bench [--seconds S] [--smoke]     (default 5 s; --smoke 0.5 s)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace {

using Clock = std::chrono::steady_clock;

/// Frames polled this long after start are not counted: the first polls find what queued up
/// while start() was returning.
constexpr auto kWarmUp = std::chrono::milliseconds(200);

[[noreturn]] void fail(const std::string& what) {
  fmt::print(stderr, "sorvel_latency_bench: {}\n", what);
  std::exit(1);
}

double seconds_from(int argc, char** argv) {
  double seconds = 5.0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--smoke") {
      seconds = 0.5;
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (!(seconds > 0)) fail("--seconds needs a positive number");
    } else {
      fail(fmt::format("unknown argument \"{}\"; usage: [--seconds S] [--smoke]", arg));
    }
  }
  return seconds;
}

template <typename T>
T ok_or_fail(sorvel::Expected<sorvel::DriverResult<T>, sorvel::runtime::InternalError> done,
             std::string_view what) {
  if (!done) fail(fmt::format("{}: {}", what, done.error().message));
  if (!*done) fail(fmt::format("{}: {}", what, done->error().debug()));
  if constexpr (!std::is_void_v<T>) return std::move(**done);
}

/// The value below which `share` of `sorted` lies (nearest rank).
double percentile(const std::vector<double>& sorted, double share) {
  if (sorted.empty()) return 0.0;
  const auto rank = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[rank];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = seconds_from(argc, argv);

  sorvel::simulator::Scenario scenario;
  scenario.stamp_completion = true;
  sorvel::simulator::VirtualKitBackend backend("latency bench", scenario);
  auto device = sorvel::open_receiver(backend);
  if (!device) fail("the virtual kit did not open");
  auto driver =
      ok_or_fail(sorvel::runtime::block_on(sorvel::Driver::open(std::move(*device))), "open");
  std::vector<sorvel::BodyPart> everyone;
  for (std::size_t v = 0; v < sorvel::kBodyPartCount; ++v) {
    everyone.push_back(static_cast<sorvel::BodyPart>(v));
  }
  ok_or_fail(sorvel::runtime::block_on(driver->connect(everyone)), "connect");
  ok_or_fail(sorvel::runtime::block_on(driver->start()), "start");

  std::vector<double> latencies_us;
  latencies_us.reserve(static_cast<std::size_t>(seconds * 15 * 100 * 4 * 1.5));
  std::thread poller([&] {
    const auto counted_from = Clock::now() + kWarmUp;
    const auto end = counted_from + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    for (;;) {
      auto polled = driver->poll();
      const auto now = Clock::now();
      if (now >= end) break;
      if (!polled) fail("poll: " + polled.error().message);
      if (!*polled || now < counted_from) continue;
      const auto now_ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
      for (const auto& [frame, fresh] : **polled) {
        if (!fresh) continue;
        latencies_us.push_back(
            static_cast<double>(now_ns - static_cast<std::int64_t>(frame.value_a)) / 1000.0);
      }
    }
  });
  poller.join();

  std::sort(latencies_us.begin(), latencies_us.end());
  fmt::print(
      "{{\"latency_p50_us\": {{\"value\": {:.1f}, \"unit\": \"us\"}}, "
      "\"latency_p99_us\": {{\"value\": {:.1f}, \"unit\": \"us\"}}, \"samples\": {}}}\n",
      percentile(latencies_us, 0.50), percentile(latencies_us, 0.99), latencies_us.size());
  return latencies_us.empty() ? 1 : 0;
}
