#include "sorvel/driver/runtime/runtime.hpp"

#include <algorithm>
#include <exception>
#include <thread>

namespace sorvel::runtime {
namespace {

thread_local bool t_on_runtime_thread = false;

}  // namespace

bool on_runtime_thread() noexcept {
  return t_on_runtime_thread;
}

Expected<Runtime*, InternalError> Runtime::get() {
  static const Expected<Runtime*, InternalError> instance = build();
  return instance;
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
