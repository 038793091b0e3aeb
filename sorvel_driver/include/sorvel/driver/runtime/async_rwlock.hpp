#pragma once
// An asynchronous reader-writer lock around a value: many readers or one writer. Waiters are
// served in arrival order (consecutive readers together), and a queued writer holds back
// readers that arrive after it, so a stream of readers cannot starve a writer.

#include <memory>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/lock_core.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

/// Thread safety: every member may be called from any thread, concurrently. Guards keep the
/// lock's state alive, so they may outlive the lock.
template <typename T>
class AsyncRwLock {
 public:
  using ReadGuard = detail::LockGuard<T, detail::LockMode::Shared>;
  using WriteGuard = detail::LockGuard<T, detail::LockMode::Exclusive>;

  template <typename... Args>
  explicit AsyncRwLock(Args&&... args)
      : locked_(std::make_shared<detail::Locked<T>>(std::forward<Args>(args)...)) {}

  AsyncRwLock(const AsyncRwLock&) = delete;
  AsyncRwLock& operator=(const AsyncRwLock&) = delete;

  /// Waits for shared access. Cancellation behaves as for AsyncMutex::lock.
  asio::awaitable<ReadGuard> read() {
    auto locked = locked_;
    co_await detail::acquire(detail::core_of(locked), detail::LockMode::Shared);
    co_return ReadGuard(std::move(locked));
  }

  /// Waits for exclusive access. Cancellation behaves as for AsyncMutex::lock.
  asio::awaitable<WriteGuard> write() {
    auto locked = locked_;
    co_await detail::acquire(detail::core_of(locked), detail::LockMode::Exclusive);
    co_return WriteGuard(std::move(locked));
  }

  /// Parks the calling thread until shared access is granted. Refused on a runtime thread.
  Expected<ReadGuard, InternalError> read_blocking() {
    auto taken = detail::acquire_blocking(locked_->core, detail::LockMode::Shared);
    if (!taken) return unexpected(std::move(taken).error());
    return ReadGuard(locked_);
  }

  /// Parks the calling thread until exclusive access is granted. Refused on a runtime thread.
  Expected<WriteGuard, InternalError> write_blocking() {
    auto taken = detail::acquire_blocking(locked_->core, detail::LockMode::Exclusive);
    if (!taken) return unexpected(std::move(taken).error());
    return WriteGuard(locked_);
  }

  std::optional<ReadGuard> try_read() {
    if (!locked_->core.try_acquire(detail::LockMode::Shared)) return std::nullopt;
    return ReadGuard(locked_);
  }

  std::optional<WriteGuard> try_write() {
    if (!locked_->core.try_acquire(detail::LockMode::Exclusive)) return std::nullopt;
    return WriteGuard(locked_);
  }

 private:
  std::shared_ptr<detail::Locked<T>> locked_;
};

}  // namespace sorvel::runtime
