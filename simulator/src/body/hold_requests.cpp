#include "hold_requests.hpp"

#include <atomic>
#include <cmath>
#include <mutex>

#include <fmt/format.h>

#include "sorvel/simulator/virtual_kit.hpp"

namespace sorvel::simulator {

namespace body {
namespace {

struct Requests {
  std::mutex mutex;
  HoldRequest latest;  // guarded by mutex
  std::atomic<std::uint64_t> number{0};
  std::atomic<std::size_t> people{0};
};

// Never destroyed: a kit (and its person) may outlive static destruction on a detached thread.
Requests& requests() {
  static auto* const instance = new Requests;
  return *instance;
}

}  // namespace

PersonPresence::PersonPresence() {
  requests().people.fetch_add(1, std::memory_order_relaxed);
}

PersonPresence::~PersonPresence() {
  requests().people.fetch_sub(1, std::memory_order_relaxed);
}

std::uint64_t latest_hold_number() {
  return requests().number.load(std::memory_order_acquire);
}

HoldRequest latest_hold() {
  std::lock_guard lock(requests().mutex);
  return requests().latest;
}

}  // namespace body

Expected<bool, std::string> ask_virtual_person(std::string_view pose, double seconds) {
  const auto held = held_pose_from_name(pose);
  if (!held) return unexpected(fmt::format("unknown pose \"{}\" (T, I, ski)", pose));
  if (!std::isfinite(seconds) || seconds < 0.0) {
    return unexpected(fmt::format("cannot hold a pose for {} seconds", seconds));
  }
  auto& all = body::requests();
  {
    std::lock_guard lock(all.mutex);
    all.latest = {all.latest.number + 1, *held, std::chrono::steady_clock::now(), seconds};
    all.number.store(all.latest.number, std::memory_order_release);
  }
  return all.people.load(std::memory_order_relaxed) > 0;
}

}  // namespace sorvel::simulator
