// Soak: a virtual kit of 15 trackers streaming at full rate, polled by four threads, while the
// driver is re-paired, dropped and opened again, and the kit pulled out and plugged back in.
// After every round it prints the growth of the resident set, frames seen, per-tracker order
// violations, errors by kind and the native objects of the dropped driver still alive. Exits
// non-zero on an order violation, an object left alive, an internal error or a step that hangs.
//
//   sorvel_soak [seconds]    (default 30)

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sorvel::BodyPart;
using sorvel::Driver;

constexpr int kPollers = 4;
constexpr auto kRound = 2s;
constexpr auto kHangLimit = 30s;
constexpr auto kSettle = 200ms;
constexpr int kUnplugEvery = 3;  ///< every third round ends with the kit pulled out

/// Resident memory from Linux's /proc, in KiB; 0 where the system has no such file.
long resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);  // "VmRSS:  1234 kB"
  }
  return 0;
}

/// What every thread adds to; printed after each round.
struct Tally {
  std::mutex mutex;
  std::map<std::string, long> errors;
  std::atomic<long> frames{0};
  std::atomic<long> violations{0};
  std::atomic<long> internal_errors{0};

  void error(const std::string& kind) {
    std::lock_guard lock(mutex);
    ++errors[kind];
  }
  std::string errors_text() {
    std::lock_guard lock(mutex);
    std::string text;
    for (const auto& [kind, count] : errors) text += fmt::format(" {}={}", kind, count);
    return text.empty() ? " none" : text;
  }
};

/// Aborts the process when no step has finished for too long: a hang must not look like a pass.
class Watchdog {
 public:
  Watchdog() {
    std::thread([this] {
      for (;;) {
        std::this_thread::sleep_for(1s);
        std::lock_guard lock(mutex_);
        if (Clock::now() - last_ > kHangLimit) {
          std::fprintf(stderr, "soak: hang at step '%s'\n", step_.c_str());
          std::_Exit(2);
        }
      }
    }).detach();
  }
  void step(std::string name) {
    std::lock_guard lock(mutex_);
    step_ = std::move(name);
    last_ = Clock::now();
  }

 private:
  std::mutex mutex_;
  std::string step_ = "start";
  Clock::time_point last_ = Clock::now();
};

std::vector<BodyPart> whole_body() {
  std::vector<BodyPart> parts;
  for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i)
    parts.push_back(static_cast<BodyPart>(i));
  return parts;
}

/// Polls until told to stop. A stream's sample times only grow; `epoch` is odd while the kit is
/// being re-paired (its stream then starts again from zero), and changes around it.
void poll_loop(Driver& driver, const std::atomic<bool>& stop, const std::atomic<int>& epoch,
               Tally& tally) {
  std::array<std::uint64_t, sorvel::kBodyPartCount> last{};
  int seen_epoch = -1;
  while (!stop.load()) {
    const int before = epoch.load();
    auto polled = driver.poll();
    const int after = epoch.load();
    if (!polled) {
      tally.internal_errors.fetch_add(1);
      tally.error("internal: " + polled.error().message);
      continue;
    }
    if (!*polled) {
      tally.error(std::string(sorvel::message(polled->error())));
      std::this_thread::sleep_for(1ms);
      continue;
    }
    if (before % 2 == 1 || before != after || before != seen_epoch) {
      last.fill(0);
      seen_epoch = before % 2 == 1 || before != after ? -1 : before;
      continue;
    }
    for (const auto& [frame, fresh] : **polled) {
      if (frame.validity != 0) continue;  // no frame yet
      if (fresh) tally.frames.fetch_add(1);
      auto& previous = last[static_cast<std::size_t>(frame.body_part)];
      if (frame.value_a < previous) tally.violations.fetch_add(1);
      previous = frame.value_a;
    }
  }
}

template <typename T>
bool succeeded(const sorvel::Expected<sorvel::DriverResult<T>, sorvel::runtime::InternalError>& r,
               std::string_view what, Tally& tally) {
  if (!r) {
    tally.internal_errors.fetch_add(1);
    tally.error(fmt::format("internal {}: {}", what, r.error().message));
    return false;
  }
  if (!*r) {
    tally.error(fmt::format("{}: {}", what, r->error().debug()));
    return false;
  }
  return true;
}

// A timer or completion running on the simulator's thread holds its kit for the moment it
// runs, so the last handle may go just after the driver's: a kit still there a second later is
// one that leaked.
std::size_t kits_alive_after_settling() {
  const auto deadline = Clock::now() + 1s;
  while (sorvel::simulator::registered_kit_count() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  return sorvel::simulator::registered_kit_count();
}

}  // namespace

int main(int argc, char** argv) {
  const auto duration = std::chrono::seconds(argc > 1 ? std::atoi(argv[1]) : 30);
  sorvel::simulator::Scenario scenario;  // 15 trackers at the kit's full rate
  sorvel::simulator::VirtualKitBackend backend("soak", scenario);
  sorvel::HostTimeouts timeouts;
  timeouts.per_tracker = 5s;  // a pairing that cannot finish shows up as an error, not a stall
  Watchdog watchdog;
  Tally tally;
  long leaked = 0;
  long silent_rounds = 0;  ///< streaming rounds in which no fresh frame came
  long rss_start = 0;
  const auto end = Clock::now() + duration;

  for (int round = 1; Clock::now() < end; ++round) {
    watchdog.step("open");
    auto device = sorvel::open_receiver(backend);
    if (!device) {
      tally.error("open: receiver not available");
      std::this_thread::sleep_for(10ms);
      continue;
    }
    auto opened = sorvel::runtime::block_on(Driver::open(std::move(*device), timeouts));
    if (!succeeded(opened, "open", tally)) continue;
    std::shared_ptr<Driver> driver = std::move(**opened);
    const std::weak_ptr<Driver> driver_alive = driver;
    const std::weak_ptr<sorvel::Host> host_alive = driver->host();

    const long frames_before = tally.frames.load();
    std::atomic<int> epoch{1};
    watchdog.step("connect");
    bool streaming =
        succeeded(sorvel::runtime::block_on(driver->connect(whole_body())), "connect", tally) &&
        succeeded(sorvel::runtime::block_on(driver->start()), "start", tally);
    epoch.store(2);

    std::atomic<bool> stop{false};
    std::vector<std::thread> pollers;
    for (int i = 0; i < kPollers; ++i) {
      pollers.emplace_back([&] { poll_loop(*driver, stop, epoch, tally); });
    }
    std::this_thread::sleep_for(kRound / 2);
    if (streaming) {
      watchdog.step("re-pair");
      epoch.store(3);
      streaming =
          succeeded(sorvel::runtime::block_on(driver->connect(whole_body())), "re-pair", tally) &&
          succeeded(sorvel::runtime::block_on(driver->start()), "restart", tally);
      // Report bytes the kit had sent before the reset still come out for a moment and land in
      // the new set's cells: older than the new stream, not out of order.
      std::this_thread::sleep_for(kSettle);
      epoch.store(4);
    }
    std::this_thread::sleep_for(kRound / 2);
    const bool unplug = round % kUnplugEvery == 0;
    if (unplug) {
      watchdog.step("unplug");
      backend.unplug();
      std::this_thread::sleep_for(50ms);  // polls meet the lost receiver
    }
    stop.store(true);
    for (auto& poller : pollers) poller.join();

    if (streaming && tally.frames.load() == frames_before) ++silent_rounds;
    watchdog.step("drop");
    driver.reset();  // waits for the readers: the receiver is free when this returns
    const long alive = (driver_alive.expired() ? 0 : 1) + (host_alive.expired() ? 0 : 1) +
                       static_cast<long>(kits_alive_after_settling());
    leaked += alive;
    if (round == 1) rss_start = resident_kib();
    std::printf(
        "round %3d%s: rss %+6ld KiB, frames %9ld, order violations %ld, native objects alive "
        "after drop %ld, errors:%s\n",
        round, unplug ? " (unplugged)" : "            ", resident_kib() - rss_start,
        tally.frames.load(), tally.violations.load(), alive, tally.errors_text().c_str());
    std::fflush(stdout);
  }

  const bool failed = tally.violations.load() > 0 || leaked > 0 ||
                      tally.internal_errors.load() > 0 || silent_rounds > 0;
  std::printf(
      "soak %s: %lds, rss growth %+ld KiB, %ld frames, %ld order violations, %ld objects "
      "left alive, %ld silent rounds, errors:%s\n",
      failed ? "FAILED" : "passed", static_cast<long>(duration.count()), resident_kib() - rss_start,
      tally.frames.load(), tally.violations.load(), leaked, silent_rounds,
      tally.errors_text().c_str());
  return failed ? 1 : 0;
}
