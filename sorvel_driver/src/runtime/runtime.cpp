#include "sorvel/driver/runtime/runtime.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "sorvel/driver/runtime/fork.hpp"

namespace sorvel::runtime {
namespace {

thread_local bool t_on_runtime_thread = false;

/// The runtime of this process, built once; a forked child builds its own.
struct Built {
  std::mutex mutex;
  std::optional<Expected<Runtime*, InternalError>> result;
  std::atomic<Runtime*> runtime{nullptr};  ///< set once built well: the fast path
};

}  // namespace

bool on_runtime_thread() noexcept {
  return t_on_runtime_thread;
}

Expected<Runtime*, InternalError> Runtime::get() {
  Built& built = per_process<Built>();
  if (Runtime* runtime = built.runtime.load(std::memory_order_acquire)) return runtime;
  std::lock_guard lock(built.mutex);
  if (!built.result) {
    built.result = build();
    if (*built.result) built.runtime.store(**built.result, std::memory_order_release);
  }
  return *built.result;
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
