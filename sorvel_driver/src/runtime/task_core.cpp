#include "sorvel/driver/runtime/task.hpp"

#include <asio/error.hpp>
#include <asio/post.hpp>

namespace sorvel::runtime::detail {

TaskCore::TaskCore(const asio::any_io_executor& executor) {
  if (executor) strand_.emplace(asio::make_strand(executor));
}

void TaskCore::request_cancel() {
  if (!strand_) return;
  asio::post(*strand_, [self = shared_from_this()] {
    // Emitting after the end could reach handlers of operations that no longer exist.
    if (self->completed_) return;
    self->cancel_emitted_ = true;
    self->signal_.emit(asio::cancellation_type::terminal);
  });
}

void TaskCore::on_complete(std::exception_ptr e) {
  completed_ = true;
  // Still inside the coroutine's last step: settle from a later strand turn, when its frames
  // (which point into signal_) are gone.
  asio::post(*strand_, [self = shared_from_this(), e = std::move(e)] {
    self->settle(e, self->cancel_emitted_);
  });
}

bool TaskCore::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TaskCore::publish_locked() {
  finished_ = true;
  joiners_.complete_all({});
  finished_changed_.notify_all();
}

void TaskCore::park_joiner(std::uint64_t id, std::unique_ptr<Waiter> waiter) {
  std::lock_guard lock(mutex_);
  if (finished_) {
    waiter->complete({});
    return;
  }
  joiners_.push(id, Untagged{}, std::move(waiter));
}

void TaskCore::cancel_wait(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (auto entry = joiners_.remove(id)) entry->waiter->complete(asio::error::operation_aborted);
}

void TaskCore::wait_finished() {
  std::unique_lock lock(mutex_);
  finished_changed_.wait(lock, [this] { return finished_; });
}

bool TaskCore::wait_finished_for(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return finished_changed_.wait_for(lock, limit, [this] { return finished_; });
}

}  // namespace sorvel::runtime::detail
