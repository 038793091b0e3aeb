#pragma once
// Spawned tasks. A task runs on its own strand of an executor (the runtime's by default), so
// its cancellation signal, which is not thread-safe, is only ever emitted from that strand.
// Whatever the computation does, its end is observed as a value: its result, the text of an
// escaping exception, or the fact that it was cancelled.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/strand.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/runtime/wait_queue.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

/// Why a task has no value: it failed (an exception escaped it) or it was cancelled through
/// its handle.
struct TaskError {
  enum class Kind : std::uint8_t { Failed, Cancelled };

  Kind kind = Kind::Failed;
  InternalError failure;  ///< what failed; empty when cancelled

  TaskError() = default;
  TaskError(InternalError error) : failure(std::move(error)) {}  // NOLINT: a failure is an error
  static TaskError cancelled() {
    TaskError error;
    error.kind = Kind::Cancelled;
    return error;
  }

  bool is_cancelled() const { return kind == Kind::Cancelled; }
  bool operator==(const TaskError&) const = default;
};

namespace detail {

/// The part of a task's state that does not depend on its result type.
class TaskCore : public std::enable_shared_from_this<TaskCore> {
 public:
  /// An empty `executor` makes a task that can only be failed at once (`fail_now`).
  explicit TaskCore(const asio::any_io_executor& executor);
  TaskCore(const TaskCore&) = delete;
  TaskCore& operator=(const TaskCore&) = delete;
  virtual ~TaskCore() = default;

  const asio::strand<asio::any_io_executor>& strand() const { return *strand_; }
  asio::cancellation_slot cancellation_slot() { return signal_.slot(); }

  /// Any thread: emits terminal cancellation on the strand, unless the task has ended.
  void request_cancel();
  /// Strand: the computation has ended; `e` is what escaped it. Settles the task once the
  /// coroutine has fully unwound, so the signal is no longer in use when the state may go.
  void on_complete(std::exception_ptr e);

  bool finished() const;
  /// Parks a joiner until the task has finished (at once if it has).
  void park_joiner(std::uint64_t id, std::unique_ptr<Waiter> waiter);
  void cancel_wait(std::uint64_t id);
  void wait_finished();
  /// As `wait_finished`, for at most `limit`; true when the task has finished.
  bool wait_finished_for(std::chrono::milliseconds limit);

 protected:
  /// Strand: stores the outcome, then calls `publish_locked`.
  virtual void settle(std::exception_ptr e, bool cancelled) = 0;
  /// Marks the task finished and wakes its joiners; the caller holds `mutex_`.
  void publish_locked();

  mutable std::mutex mutex_;

 private:
  std::optional<asio::strand<asio::any_io_executor>> strand_;
  asio::cancellation_signal signal_;  // strand only
  bool cancel_emitted_ = false;       // strand only
  bool completed_ = false;            // strand only
  bool finished_ = false;             // guarded by mutex_
  std::condition_variable finished_changed_;
  WaitQueue<Untagged> joiners_;  // guarded by mutex_
};

template <typename T>
class TaskState final : public TaskCore {
 public:
  using Result = Expected<T, TaskError>;
  using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;

  using TaskCore::TaskCore;

  /// Strand: the computation's value, before it completes.
  template <typename... V>
  void set_value(V&&... value) {
    if constexpr (std::is_void_v<T>) {
      value_.emplace(true);
    } else {
      value_.emplace(std::forward<V>(value)...);
    }
  }

  /// Moves the result out; a second taker gets a failure instead.
  Result take() {
    std::lock_guard lock(mutex_);
    if (!result_)
      return unexpected(TaskError(InternalError{"the task's result was already taken"}));
    Result result = std::move(*result_);
    result_.reset();
    return result;
  }

  /// For tasks that could not even be started.
  void fail_now(InternalError error) {
    std::lock_guard lock(mutex_);
    result_.emplace(unexpected(TaskError(std::move(error))));
    publish_locked();
  }

 private:
  void settle(std::exception_ptr e, bool cancelled) override {
    std::lock_guard lock(mutex_);
    if (cancelled) {
      result_.emplace(unexpected(TaskError::cancelled()));
    } else if (e || !value_) {
      result_.emplace(unexpected(TaskError(internal_error_from(e))));
    } else if constexpr (std::is_void_v<T>) {
      result_.emplace();
    } else {
      result_.emplace(std::move(*value_));
    }
    value_.reset();
    publish_locked();
  }

  std::optional<Stored> value_;   // strand only
  std::optional<Result> result_;  // guarded by mutex_
};

template <typename T>
asio::awaitable<void> run_task(std::shared_ptr<TaskState<T>> state, asio::awaitable<T> body) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(body);
    state->set_value();
  } else {
    state->set_value(co_await std::move(body));
  }
}

}  // namespace detail

/// The handle of a spawned task. Dropping it detaches the task, which runs on.
/// Thread safety: `cancel` and `finished` may be called from any thread; `join` and `wait`
/// from one joiner at a time.
template <typename T>
class Task {
 public:
  using Result = Expected<T, TaskError>;

  explicit Task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}

  /// Waits for the task's end: its value, Failed with the text of the exception that escaped
  /// it, or Cancelled when `cancel` reached it before it ended. The result is handed out once.
  /// Cancelling the join itself leaves the task running.
  asio::awaitable<Result> join() {
    auto state = state_;
    if (!state->finished()) {
      co_await detail::park(std::shared_ptr<detail::TaskCore>(state),
                            [&](std::uint64_t id, std::unique_ptr<detail::Waiter> waiter) {
                              state->park_joiner(id, std::move(waiter));
                            });
    }
    co_return state->take();
  }

  /// Parks the calling thread until the task ends, then as `join`. Refused (as Failed) on a
  /// runtime thread.
  Result wait() {
    if (on_runtime_thread()) {
      return unexpected(TaskError(InternalError{std::string(kBlockingInRuntimeMessage)}));
    }
    state_->wait_finished();
    return state_->take();
  }

  /// Parks the calling thread until the task ends or `limit` has passed; true when it has ended
  /// (its result is then taken with `wait`, at once). Refused (false) on a runtime thread.
  bool wait_for(std::chrono::milliseconds limit) {
    return !on_runtime_thread() && state_->wait_finished_for(limit);
  }

  /// Drops the computation at its current waiting point (terminal cancellation). Does nothing
  /// once the task has ended.
  void cancel() { state_->request_cancel(); }

  bool finished() const { return state_->finished(); }

 private:
  std::shared_ptr<detail::TaskState<T>> state_;
};

/// Runs `computation` as a task on its own strand of `executor`.
template <typename T>
Task<T> spawn(const asio::any_io_executor& executor, asio::awaitable<T> computation) {
  auto state = std::make_shared<detail::TaskState<T>>(executor);
  try {
    asio::co_spawn(
        state->strand(), detail::run_task(state, std::move(computation)),
        asio::bind_cancellation_slot(state->cancellation_slot(), [state](std::exception_ptr e) {
          state->on_complete(std::move(e));
        }));
  } catch (...) {
    state->fail_now(internal_error_from(std::current_exception()));
  }
  return Task<T>(std::move(state));
}

/// Runs `computation` as a task on the process's runtime.
template <typename T>
Task<T> spawn(asio::awaitable<T> computation) {
  auto runtime = Runtime::get();
  if (!runtime) {
    auto state = std::make_shared<detail::TaskState<T>>(asio::any_io_executor());
    state->fail_now(runtime.error());
    return Task<T>(std::move(state));
  }
  return spawn((*runtime)->get_executor(), std::move(computation));
}

}  // namespace sorvel::runtime

/// `{}` prints "Cancelled" or "Failed(<text>)".
template <>
struct fmt::formatter<sorvel::runtime::TaskError> : fmt::formatter<std::string_view> {
  auto format(const sorvel::runtime::TaskError& error, format_context& ctx) const {
    if (error.is_cancelled()) return fmt::formatter<std::string_view>::format("Cancelled", ctx);
    return fmt::format_to(ctx.out(), "Failed({})", error.failure.message);
  }
};
