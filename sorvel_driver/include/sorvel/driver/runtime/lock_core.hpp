#pragma once
// The bookkeeping shared by AsyncMutex and AsyncRwLock: shared and exclusive holders, and a
// FIFO of waiters served strictly in arrival order. A release hands the lock straight to the
// waiters at the head of the queue (they own it before they even resume), so a newcomer can
// never overtake a parked waiter, and a parked writer holds back every reader behind it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include <asio/awaitable.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/wait_queue.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime::detail {

enum class LockMode : std::uint8_t { Shared, Exclusive };

class LockCore {
 public:
  /// Takes the lock at once if that overtakes nobody.
  bool try_acquire(LockMode mode);
  void release(LockMode mode);
  /// Grants the lock to `waiter` now if possible, else queues it.
  void enqueue(std::uint64_t id, LockMode mode, std::unique_ptr<Waiter> waiter);
  /// Drops the queued waiter `id` (a cancelled acquisition); the waiters behind it may now be
  /// grantable, e.g. readers queued behind a writer that gave up.
  void cancel_wait(std::uint64_t id);

 private:
  bool grantable(LockMode mode) const;
  void take(LockMode mode);
  void grant_waiters();

  std::mutex mutex_;
  std::size_t readers_ = 0;  // guarded by mutex_
  bool writer_ = false;      // guarded by mutex_
  WaitQueue<LockMode> waiters_;
};

/// Waits for the lock; throws operation_aborted when cancelled while still queued.
asio::awaitable<void> acquire(std::shared_ptr<LockCore> core, LockMode mode);

/// Parks the calling thread until the lock is granted; refused on a runtime thread.
Expected<void, InternalError> acquire_blocking(LockCore& core, LockMode mode);

/// A lock around a value; held through shared handles so that guards and parked acquisitions
/// keep it alive.
template <typename T>
struct Locked {
  template <typename... Args>
  explicit Locked(Args&&... args) : value(std::forward<Args>(args)...) {}

  LockCore core;
  T value;
};

template <typename T>
std::shared_ptr<LockCore> core_of(const std::shared_ptr<Locked<T>>& locked) {
  return {locked, &locked->core};
}

/// Access to the locked value for as long as the guard lives; releases on destruction.
template <typename T, LockMode Mode>
class LockGuard {
 public:
  using value_type = std::conditional_t<Mode == LockMode::Shared, const T, T>;

  /// Adopts a lock already taken in `Mode`; only the locks create guards.
  explicit LockGuard(std::shared_ptr<Locked<T>> locked) : locked_(std::move(locked)) {}
  LockGuard(LockGuard&& other) noexcept = default;
  LockGuard& operator=(LockGuard&& other) noexcept {
    if (this != &other) {
      unlock();
      locked_ = std::move(other.locked_);
    }
    return *this;
  }
  ~LockGuard() { unlock(); }

  value_type& operator*() const { return locked_->value; }
  value_type* operator->() const { return &locked_->value; }

  /// Releases early; the guard is empty afterwards.
  void unlock() {
    if (locked_) std::exchange(locked_, nullptr)->core.release(Mode);
  }

 private:
  std::shared_ptr<Locked<T>> locked_;
};

}  // namespace sorvel::runtime::detail
