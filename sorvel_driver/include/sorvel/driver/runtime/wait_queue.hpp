#pragma once
// Parking on the runtime's primitives. A waiter is a type-erased completion: for a coroutine it
// resumes the coroutine through the coroutine's own executor (never inline in the code that
// wakes it); for a blocked thread it releases the thread. Each park gets an id so that a
// cancellation arriving through the coroutine's cancellation slot can find and remove exactly
// its waiter, or do nothing when the waiter has already been woken.

#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace sorvel::runtime::detail {

class Waiter {
 public:
  virtual ~Waiter() = default;
  /// Wakes the waiter; called at most once, possibly under the primitive's lock. An error
  /// (operation_aborted) makes the parked coroutine throw.
  virtual void complete(std::error_code ec) = 0;
};

template <typename Handler, typename Executor>
class CoroutineWaiter final : public Waiter {
 public:
  CoroutineWaiter(Handler handler, const Executor& fallback)
      : executor_(asio::get_associated_executor(handler, fallback)), handler_(std::move(handler)) {}

  void complete(std::error_code ec) override {
    asio::post(executor_, [handler = std::move(handler_), ec]() mutable { handler(ec); });
  }

 private:
  asio::associated_executor_t<Handler, Executor> executor_;
  Handler handler_;
};

/// Releases a thread parked in `wait`.
class ThreadWaiter final : public Waiter {
 public:
  explicit ThreadWaiter(std::promise<void> woken) : woken_(std::move(woken)) {}
  void complete(std::error_code) override { woken_.set_value(); }

 private:
  std::promise<void> woken_;
};

/// The tag of queues whose waiters all wait for the same thing.
struct Untagged {};

/// FIFO of parked waiters, each with an id and a tag (what it waits for). Not synchronised:
/// the owning primitive guards it with its own lock.
template <typename Tag>
class WaitQueue {
 public:
  struct Entry {
    std::uint64_t id;
    Tag tag;
    std::unique_ptr<Waiter> waiter;
  };

  bool empty() const { return entries_.empty(); }
  const Entry& front() const { return entries_.front(); }

  void push(std::uint64_t id, Tag tag, std::unique_ptr<Waiter> waiter) {
    entries_.push_back(Entry{id, std::move(tag), std::move(waiter)});
  }

  Entry pop_front() {
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    return entry;
  }

  /// Takes out the waiter `id`, if it is still parked.
  std::optional<Entry> remove(std::uint64_t id) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->id == id) {
        Entry entry = std::move(*it);
        entries_.erase(it);
        return entry;
      }
    }
    return std::nullopt;
  }

  void complete_all(std::error_code ec) {
    while (!entries_.empty()) pop_front().waiter->complete(ec);
  }

 private:
  std::deque<Entry> entries_;
};

/// A fresh id for one park; unique in the process.
std::uint64_t next_wait_id() noexcept;

/// Sits in the parked coroutine's cancellation slot; asks the target to drop waiter `id`.
/// The target must complete a dropped waiter with operation_aborted.
template <typename Target>
class CancelWait {
 public:
  CancelWait(std::weak_ptr<Target> target, std::uint64_t id)
      : target_(std::move(target)), id_(id) {}

  void operator()(asio::cancellation_type_t type) {
    if (type == asio::cancellation_type::none) return;
    if (auto target = target_.lock()) target->cancel_wait(id_);
  }

 private:
  std::weak_ptr<Target> target_;
  std::uint64_t id_;
};

/// Suspends the calling coroutine until its waiter is completed. `enqueue(id, waiter)` runs
/// once, after suspension; under the target's lock it either completes the waiter at once or
/// stores it. Throws asio::system_error(operation_aborted) when the waiter was dropped by a
/// cancellation. The cancellation handler is installed before the waiter becomes visible, so
/// it is in place whichever thread wakes the waiter.
template <typename Target, typename Enqueue>
asio::awaitable<void> park(std::shared_ptr<Target> target, Enqueue enqueue) {
  const auto executor = co_await asio::this_coro::executor;
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::error_code)>(
      [&](auto handler) {
        const std::uint64_t id = next_wait_id();
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.template emplace<CancelWait<Target>>(target, id);
        using Handler = decltype(handler);
        enqueue(id, std::make_unique<CoroutineWaiter<Handler, decltype(executor)>>(
                        std::move(handler), executor));
      },
      asio::use_awaitable);
}

}  // namespace sorvel::runtime::detail
