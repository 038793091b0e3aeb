#pragma once
// A bounded broadcast channel: every receiver sees every message sent after it was created,
// in order. The channel keeps the last `capacity` messages; a receiver that falls further
// behind is told how many it missed and resumes at the oldest message still kept. Senders never
// wait: a send with no receiver fails at once and hands the value back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/error.hpp>
#include <asio/system_error.hpp>
#include <asio/this_coro.hpp>

#include "sorvel/driver/runtime/broadcast_error.hpp"
#include "sorvel/driver/runtime/wait_queue.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

inline constexpr std::size_t kBroadcastCapacity = 32;

namespace detail {

/// Everything of the channel's state except the messages themselves.
class BroadcastCore {
 public:
  explicit BroadcastCore(std::size_t capacity);

  void add_sender();
  /// The last sender leaving closes the channel.
  void remove_sender();
  void close();
  /// Returns the new receiver's cursor: the sequence number of the next message sent.
  std::uint64_t add_receiver();
  void remove_receiver();
  std::size_t receiver_count() const;

  /// Parks a receiver whose cursor is `next` until a message at `next` exists or the channel
  /// closes (at once if either holds already).
  void park_receiver(std::uint64_t id, std::uint64_t next, std::unique_ptr<Waiter> waiter);
  void cancel_wait(std::uint64_t id);

 protected:
  void close_locked();

  mutable std::mutex mutex_;
  const std::size_t capacity_;
  std::uint64_t tail_ = 0;  // sequence number of the next message; guarded by mutex_
  std::size_t senders_ = 0;
  std::size_t receivers_ = 0;
  bool closed_ = false;
  WaitQueue<Untagged> receivers_waiting_;
};

template <typename T>
class BroadcastState final : public BroadcastCore {
 public:
  explicit BroadcastState(std::size_t capacity) : BroadcastCore(capacity), ring_(capacity_) {}

  Expected<std::size_t, SendError<T>> send(T value) {
    std::lock_guard lock(mutex_);
    if (closed_ || receivers_ == 0) return unexpected(SendError<T>{std::move(value)});
    ring_[tail_ % capacity_].emplace(std::move(value));
    ++tail_;
    receivers_waiting_.complete_all({});
    return receivers_;
  }

  /// What a receiver at cursor `next` gets now, advancing the cursor; empty if it must wait.
  std::optional<Expected<T, RecvError>> try_take(std::uint64_t& next) {
    std::lock_guard lock(mutex_);
    if (next < tail_) {
      const std::uint64_t oldest = tail_ > capacity_ ? tail_ - capacity_ : 0;
      if (next < oldest) {
        const std::uint64_t missed = oldest - next;
        next = oldest;
        return Expected<T, RecvError>(unexpected(RecvError::lagged(missed)));
      }
      return Expected<T, RecvError>(*ring_[next++ % capacity_]);
    }
    if (closed_) return Expected<T, RecvError>(unexpected(RecvError::closed()));
    return std::nullopt;
  }

 private:
  std::vector<std::optional<T>> ring_;  // guarded by mutex_
};

}  // namespace detail

template <typename T>
class BroadcastSender;

/// One receiving end. Move-only; dropping it stops the channel from counting it.
/// Thread safety: one `recv` at a time per receiver; different receivers and the senders may be
/// used from different threads concurrently. The receiver must outlive a pending `recv`.
template <typename T>
class BroadcastReceiver {
 public:
  BroadcastReceiver(BroadcastReceiver&& other) noexcept
      : state_(std::exchange(other.state_, nullptr)), next_(other.next_) {}
  BroadcastReceiver& operator=(BroadcastReceiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::exchange(other.state_, nullptr);
      next_ = other.next_;
    }
    return *this;
  }
  ~BroadcastReceiver() { release(); }

  /// The next message; Lagged (then the oldest kept message on the next call) when this
  /// receiver fell behind; Closed once the channel is closed and drained.
  /// Cancellation through the awaiting coroutine's slot throws operation_aborted and consumes
  /// nothing, so a `with_timeout(recv(), ...)` that times out loses no message.
  asio::awaitable<Expected<T, RecvError>> recv() {
    auto state = state_;
    for (;;) {
      if (auto outcome = state->try_take(next_)) co_return std::move(*outcome);
      co_await detail::park(std::shared_ptr<detail::BroadcastCore>(state),
                            [&](std::uint64_t id, std::unique_ptr<detail::Waiter> waiter) {
                              state->park_receiver(id, next_, std::move(waiter));
                            });
      // The wake-up may have crossed a cancellation (the time-out won the race): the message
      // then stays for the next recv instead of vanishing with the abandoned one.
      const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
      if (cancellation.cancelled() != asio::cancellation_type::none) {
        throw asio::system_error(asio::error::operation_aborted);
      }
    }
  }

 private:
  friend class BroadcastSender<T>;

  BroadcastReceiver(std::shared_ptr<detail::BroadcastState<T>> state, std::uint64_t next)
      : state_(std::move(state)), next_(next) {}

  void release() {
    if (state_) std::exchange(state_, nullptr)->remove_receiver();
  }

  std::shared_ptr<detail::BroadcastState<T>> state_;
  std::uint64_t next_;
};

/// A sending end. Copies share the channel, which closes for its receivers when the last copy
/// is gone or when any copy calls `close`.
/// Thread safety: every member may be called from any thread, concurrently.
template <typename T>
class BroadcastSender {
 public:
  /// A channel with no receiver yet, keeping at most `capacity` (at least 1) messages.
  explicit BroadcastSender(std::size_t capacity = kBroadcastCapacity)
      : state_(std::make_shared<detail::BroadcastState<T>>(capacity)) {
    state_->add_sender();
  }
  BroadcastSender(const BroadcastSender& other) : state_(other.state_) {
    if (state_) state_->add_sender();
  }
  BroadcastSender(BroadcastSender&& other) noexcept
      : state_(std::exchange(other.state_, nullptr)) {}
  BroadcastSender& operator=(BroadcastSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~BroadcastSender() {
    if (state_) state_->remove_sender();
  }

  /// Hands `value` to every current receiver; returns how many there are. Never waits: with no
  /// receiver, or once closed, fails at once with the value.
  Expected<std::size_t, SendError<T>> send(T value) { return state_->send(std::move(value)); }

  /// A receiver that sees the messages sent from now on.
  BroadcastReceiver<T> subscribe() { return BroadcastReceiver<T>(state_, state_->add_receiver()); }

  /// Closes the channel while senders still exist: receivers drain what is kept, then get
  /// Closed; later sends fail.
  void close() { state_->close(); }

  std::size_t receiver_count() const { return state_->receiver_count(); }

 private:
  std::shared_ptr<detail::BroadcastState<T>> state_;
};

/// A channel together with its first receiver.
template <typename T>
std::pair<BroadcastSender<T>, BroadcastReceiver<T>> make_broadcast(
    std::size_t capacity = kBroadcastCapacity) {
  BroadcastSender<T> sender(capacity);
  auto receiver = sender.subscribe();
  return {std::move(sender), std::move(receiver)};
}

}  // namespace sorvel::runtime
