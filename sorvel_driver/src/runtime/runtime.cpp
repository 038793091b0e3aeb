#include "sorvel/driver/runtime/runtime.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "sorvel/driver/runtime/fork.hpp"

namespace sorvel::runtime {
namespace {

thread_local bool t_on_runtime_thread = false;

/// The runtime of this process, built once; a forked child forgets its parent's.
struct Built {
  std::mutex mutex;
  std::optional<Expected<Runtime*, InternalError>> result;
};
std::atomic<Runtime*> g_runtime{nullptr};

Built*& built() {
  static Built* built = new Built();  // leaked on purpose: workers outlive static destruction
  return built;
}

void forget_in_child() {
  g_runtime.store(nullptr, std::memory_order_relaxed);
  built() = new Built();
}

}  // namespace

bool on_runtime_thread() noexcept {
  return t_on_runtime_thread;
}

Expected<Runtime*, InternalError> Runtime::get() {
  if (Runtime* runtime = g_runtime.load(std::memory_order_acquire)) return runtime;
  static std::once_flag registered;
  std::call_once(registered, [] { on_fork_child(forget_in_child); });
  Built& once = *built();
  std::lock_guard lock(once.mutex);
  if (!once.result) {
    once.result = build();
    if (*once.result) g_runtime.store(**once.result, std::memory_order_release);
  }
  return *once.result;
}

Expected<Runtime*, InternalError> Runtime::build() {
  Runtime* runtime = nullptr;
  try {
    runtime = new Runtime();
    const std::size_t wanted = std::max(2u, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < wanted; ++i) {
      std::thread([runtime] { runtime->work(); }).detach();
      ++runtime->thread_count_;
    }
  } catch (const std::exception& e) {
    // Workers already started keep the instance alive; with none it is simply unusable.
    if (runtime == nullptr || runtime->thread_count_ == 0) {
      return unexpected(InternalError{std::string("cannot start the runtime: ") + e.what()});
    }
  }
  return runtime;
}

void Runtime::work() {
  t_on_runtime_thread = true;
  for (;;) {
    try {
      context_.run();
      return;
    } catch (...) {
      // A bare handler threw (tasks catch their own failures). The other handlers still need
      // this worker, so keep serving.
    }
  }
}

}  // namespace sorvel::runtime
