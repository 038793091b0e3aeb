#include "sorvel/driver/runtime/lock_core.hpp"

#include <future>

#include <asio/error.hpp>

#include "sorvel/driver/runtime/runtime.hpp"

namespace sorvel::runtime::detail {

bool LockCore::grantable(LockMode mode) const {
  return mode == LockMode::Shared ? !writer_ : !writer_ && readers_ == 0;
}

void LockCore::take(LockMode mode) {
  if (mode == LockMode::Shared) {
    ++readers_;
  } else {
    writer_ = true;
  }
}

bool LockCore::try_acquire(LockMode mode) {
  std::lock_guard lock(mutex_);
  if (!waiters_.empty() || !grantable(mode)) return false;
  take(mode);
  return true;
}

void LockCore::release(LockMode mode) {
  std::lock_guard lock(mutex_);
  if (mode == LockMode::Shared) {
    --readers_;
  } else {
    writer_ = false;
  }
  grant_waiters();
}

void LockCore::enqueue(std::uint64_t id, LockMode mode, std::unique_ptr<Waiter> waiter) {
  std::lock_guard lock(mutex_);
  if (waiters_.empty() && grantable(mode)) {
    take(mode);
    waiter->complete({});
    return;
  }
  waiters_.push(id, mode, std::move(waiter));
}

void LockCore::cancel_wait(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (auto entry = waiters_.remove(id)) {
    entry->waiter->complete(asio::error::operation_aborted);
    grant_waiters();
  }
}

void LockCore::grant_waiters() {
  // Strict arrival order: stop at the first waiter that cannot have the lock yet.
  while (!waiters_.empty() && grantable(waiters_.front().tag)) {
    auto entry = waiters_.pop_front();
    take(entry.tag);
    entry.waiter->complete({});
  }
}

asio::awaitable<void> acquire(std::shared_ptr<LockCore> core, LockMode mode) {
  if (core->try_acquire(mode)) co_return;
  co_await park(core, [&](std::uint64_t id, std::unique_ptr<Waiter> waiter) {
    core->enqueue(id, mode, std::move(waiter));
  });
}

Expected<void, InternalError> acquire_blocking(LockCore& core, LockMode mode) {
  if (on_runtime_thread()) return unexpected(InternalError{std::string(kBlockingInRuntimeMessage)});
  if (core.try_acquire(mode)) return {};
  std::promise<void> woken;
  auto granted = woken.get_future();
  core.enqueue(next_wait_id(), mode, std::make_unique<ThreadWaiter>(std::move(woken)));
  granted.wait();
  return {};
}

}  // namespace sorvel::runtime::detail
