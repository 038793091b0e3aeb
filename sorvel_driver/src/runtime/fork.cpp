#include "sorvel/driver/runtime/fork.hpp"

#include <atomic>

#if defined(_WIN32)
// No fork on Windows: children start as new processes.
namespace sorvel::runtime {
void on_fork_child(void (*)()) {}
std::uint64_t process_generation() noexcept {
  return 0;
}
}  // namespace sorvel::runtime
#else
#include <pthread.h>

namespace sorvel::runtime {
namespace {

std::atomic<std::uint64_t> g_generation{0};

void next_generation() {
  g_generation.fetch_add(1, std::memory_order_relaxed);
}

// Counted from load time, before any handler below: child handlers run in registration order.
[[maybe_unused]] const bool g_counting = pthread_atfork(nullptr, nullptr, next_generation) == 0;

}  // namespace

void on_fork_child(void (*forget)()) {
  pthread_atfork(nullptr, nullptr, forget);
}

std::uint64_t process_generation() noexcept {
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace sorvel::runtime
#endif
