#include <algorithm>

#include "sorvel/driver/runtime/broadcast.hpp"

namespace sorvel::runtime::detail {

BroadcastCore::BroadcastCore(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)) {}

void BroadcastCore::add_sender() {
  std::lock_guard lock(mutex_);
  ++senders_;
}

void BroadcastCore::remove_sender() {
  std::lock_guard lock(mutex_);
  if (--senders_ == 0) close_locked();
}

void BroadcastCore::close() {
  std::lock_guard lock(mutex_);
  close_locked();
}

void BroadcastCore::close_locked() {
  closed_ = true;
  receivers_waiting_.complete_all({});
}

std::uint64_t BroadcastCore::add_receiver() {
  std::lock_guard lock(mutex_);
  ++receivers_;
  return tail_;
}

void BroadcastCore::remove_receiver() {
  std::lock_guard lock(mutex_);
  --receivers_;
}

std::size_t BroadcastCore::receiver_count() const {
  std::lock_guard lock(mutex_);
  return receivers_;
}

void BroadcastCore::park_receiver(std::uint64_t id, std::uint64_t next,
                                  std::unique_ptr<Waiter> waiter) {
  std::lock_guard lock(mutex_);
  if (next < tail_ || closed_) {
    waiter->complete({});
    return;
  }
  receivers_waiting_.push(id, Untagged{}, std::move(waiter));
}

void BroadcastCore::cancel_wait(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (auto entry = receivers_waiting_.remove(id)) {
    entry->waiter->complete(asio::error::operation_aborted);
  }
}

}  // namespace sorvel::runtime::detail
