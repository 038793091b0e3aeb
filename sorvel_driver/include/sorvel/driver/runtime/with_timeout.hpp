#pragma once
// Time-outs as cancellation: the wait races a steady timer, and whichever loses is cancelled
// (and awaited) rather than left running.

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace sorvel::runtime {
namespace detail {

/// How an operation ended, as a value: the race below picks the first operation to *succeed*,
/// so a failing operation must not look like a failure to it, or the race would wait out the
/// timer and report a time-out instead of the failure.
template <typename T>
struct Settled {
  std::optional<T> value;
  std::exception_ptr error;
};

template <typename T>
asio::awaitable<Settled<T>> settle(asio::awaitable<T> operation) {
  Settled<T> settled;
  try {
    settled.value.emplace(co_await std::move(operation));
  } catch (...) {
    settled.error = std::current_exception();
  }
  co_return settled;
}

}  // namespace detail

/// Waits for `operation` for at most `timeout`: its value, or empty when the timer won (the
/// operation was then cancelled through its cancellation slot). An exception from the
/// operation is rethrown. Await it on a strand (every task is on one) so that the winner is
/// decided before the loser can act.
template <typename T, typename Rep, typename Period>
asio::awaitable<std::optional<T>> with_timeout(asio::awaitable<T> operation,
                                               std::chrono::duration<Rep, Period> timeout) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor,
                           std::chrono::ceil<asio::steady_timer::duration>(timeout));
  auto winner =
      co_await (detail::settle(std::move(operation)) || timer.async_wait(asio::use_awaitable));
  if (winner.index() == 1) co_return std::nullopt;
  auto& settled = std::get<0>(winner);
  if (settled.error) std::rethrow_exception(settled.error);
  co_return std::move(settled.value);
}

}  // namespace sorvel::runtime
