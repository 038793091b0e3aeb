#pragma once
// Running a computation to completion from synchronous code (the constructor of the Python
// object): the computation runs on the runtime while the calling thread is parked.

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <asio/awaitable.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/runtime/task.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

namespace detail {

template <typename T>
Expected<T, InternalError> result_of(Task<T>& task) {
  auto result = task.wait();
  if (!result) {
    // Nobody else holds the handle, so the task cannot have been cancelled.
    return unexpected(std::move(result).error().failure);
  }
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(result).value();
  }
}

}  // namespace detail

/// Runs `computation` on the runtime and parks the caller until it ends. An exception escaping
/// it comes back as an InternalError with its text. Refused on a runtime thread, where parking
/// would take a worker away from the tasks it drives.
/// Thread safety: any thread that is not a runtime worker.
template <typename T>
Expected<T, InternalError> block_on(asio::awaitable<T> computation) {
  if (on_runtime_thread()) return unexpected(InternalError{std::string(kNestedRuntimeMessage)});
  auto task = spawn(std::move(computation));
  return detail::result_of(task);
}

/// As `block_on`, but asks `stop()` every `every` while it waits. When `stop()` says yes, the
/// computation is cancelled and, once it has unwound (releasing whatever it had opened),
/// nothing is returned.
template <typename T, typename Stop>
std::optional<Expected<T, InternalError>> block_on_unless(asio::awaitable<T> computation,
                                                          std::chrono::milliseconds every,
                                                          Stop stop) {
  if (on_runtime_thread()) return unexpected(InternalError{std::string(kNestedRuntimeMessage)});
  auto task = spawn(std::move(computation));
  while (!task.wait_for(every)) {
    if (stop()) {
      task.cancel();
      (void)task.wait();  // a value that won the race is dropped here, on this thread
      return std::nullopt;
    }
  }
  return detail::result_of(task);
}

}  // namespace sorvel::runtime
