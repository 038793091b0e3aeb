#pragma once
// An asynchronous mutual-exclusion lock around a value. Waiters are served in arrival order;
// a waiter parked in a coroutine is resumed on its own executor, never inside the unlocking
// call.

#include <memory>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/lock_core.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

/// Thread safety: every member may be called from any thread, concurrently. A guard is used
/// by one thread at a time. Guards keep the lock's state alive, so they may outlive the lock.
template <typename T>
class AsyncMutex {
 public:
  using Guard = detail::LockGuard<T, detail::LockMode::Exclusive>;

  /// Builds the held value from `args`.
  template <typename... Args>
  explicit AsyncMutex(Args&&... args)
      : locked_(std::make_shared<detail::Locked<T>>(std::forward<Args>(args)...)) {}

  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  /// Waits for the lock. Cancelling the wait (through the awaiting coroutine's cancellation
  /// slot) leaves the queue and throws operation_aborted; a lock granted just before the
  /// cancellation arrived is still returned and released with the guard.
  asio::awaitable<Guard> lock() {
    auto locked = locked_;
    co_await detail::acquire(detail::core_of(locked), detail::LockMode::Exclusive);
    co_return Guard(std::move(locked));
  }

  /// Parks the calling thread until the lock is free. Refused on a runtime thread.
  Expected<Guard, InternalError> lock_blocking() {
    auto taken = detail::acquire_blocking(locked_->core, detail::LockMode::Exclusive);
    if (!taken) return unexpected(std::move(taken).error());
    return Guard(locked_);
  }

  /// The lock if it is free and nobody is queued for it.
  std::optional<Guard> try_lock() {
    if (!locked_->core.try_acquire(detail::LockMode::Exclusive)) return std::nullopt;
    return Guard(locked_);
  }

 private:
  std::shared_ptr<detail::Locked<T>> locked_;
};

}  // namespace sorvel::runtime
