#include "sorvel/driver/runtime/fork.hpp"

#include <atomic>

#include "sorvel/platform/platform.hpp"

namespace sorvel::runtime {
namespace {

std::atomic<std::uint64_t> g_generation{0};

void next_generation() {
  g_generation.fetch_add(1, std::memory_order_relaxed);
}

// Counted from load time, before any handler below: child handlers run in registration order.
// Where there is no fork (Windows) the generation stays 0.
[[maybe_unused]] const bool g_counting = platform::on_fork_child(next_generation);

}  // namespace

void on_fork_child(void (*forget)()) {
  platform::on_fork_child(forget);
}

std::uint64_t process_generation() noexcept {
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace sorvel::runtime
