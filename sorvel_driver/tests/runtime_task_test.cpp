#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/driver/runtime/task.hpp"

namespace sorvel::runtime {
namespace {

using namespace std::chrono_literals;

asio::awaitable<int> answer() {
  co_return 42;
}

asio::awaitable<int> fail_after_a_turn() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  throw std::runtime_error("pairing went wrong");
  co_return 0;
}

// Waits on a timer that never fires in a test; records how the wait ended.
asio::awaitable<int> wait_for_hours(std::atomic<bool>* aborted) {
  asio::steady_timer timer(co_await asio::this_coro::executor, 10h);
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (const asio::system_error& e) {
    aborted->store(e.code() == asio::error::operation_aborted);
    throw;
  }
  co_return 1;
}

asio::awaitable<Task<int>::Result> join(Task<int>* task) {
  co_return co_await task->join();
}

// What the joining task saw; the joiner itself always succeeds.
Task<int>::Result joined(Task<Task<int>::Result>& joiner) {
  auto outer = joiner.wait();
  if (!outer) return unexpected(TaskError(InternalError{"joiner failed"}));
  return std::move(outer).value();
}

TEST(Task, JoinerObservesValueFailureOrCancellation) {
  asio::io_context ctx;
  std::atomic<bool> aborted{false};
  auto value = spawn(ctx.get_executor(), answer());
  auto failing = spawn(ctx.get_executor(), fail_after_a_turn());
  auto cancelled = spawn(ctx.get_executor(), wait_for_hours(&aborted));
  // Joiners park before any of the tasks has ended.
  auto join_value = spawn(ctx.get_executor(), join(&value));
  auto join_failing = spawn(ctx.get_executor(), join(&failing));
  auto join_cancelled = spawn(ctx.get_executor(), join(&cancelled));
  ctx.poll();
  EXPECT_FALSE(cancelled.finished());
  cancelled.cancel();
  ctx.poll();
  ASSERT_TRUE(join_value.finished() && join_failing.finished() && join_cancelled.finished());

  EXPECT_EQ(joined(join_value), Task<int>::Result(42));
  EXPECT_EQ(joined(join_failing),
            Task<int>::Result(unexpected(TaskError(InternalError{"pairing went wrong"}))));
  EXPECT_EQ(joined(join_cancelled), Task<int>::Result(unexpected(TaskError::cancelled())));
  EXPECT_TRUE(aborted.load()) << "the cancelled computation did not stop at its wait";
  EXPECT_EQ(fmt::format("{}", TaskError(InternalError{"x"})), "Failed(x)");
  EXPECT_EQ(fmt::format("{}", TaskError::cancelled()), "Cancelled");
}

TEST(Task, CancelFromAnotherThreadDropsRuntimeTasks) {
  constexpr int kTasks = 32;
  std::vector<std::atomic<bool>> aborted(kTasks);
  std::vector<Task<int>> tasks;
  for (auto& flag : aborted) tasks.push_back(spawn(wait_for_hours(&flag)));
  std::thread canceller([&] {
    for (auto& task : tasks) task.cancel();
  });
  canceller.join();
  for (int i = 0; i < kTasks; ++i) {
    auto result = tasks[i].wait();
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is_cancelled()) << i;
  }
  // The runtime keeps serving.
  EXPECT_EQ(block_on(answer()), (Expected<int, InternalError>(42)));
}

}  // namespace
}  // namespace sorvel::runtime
