#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "sorvel/driver/runtime/async_mutex.hpp"
#include "sorvel/driver/runtime/task.hpp"
#include "sorvel/driver/runtime/with_timeout.hpp"

namespace sorvel::runtime {
namespace {

using namespace std::chrono_literals;

asio::awaitable<void> yield() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

asio::awaitable<void> append_under_lock(AsyncMutex<std::vector<int>>* mutex, int id) {
  auto guard = co_await mutex->lock();
  guard->push_back(id);
  co_await yield();
}

TEST(AsyncMutex, WaitersAreServedInArrivalOrderAndNobodyOvertakes) {
  asio::io_context ctx;
  AsyncMutex<std::vector<int>> mutex;
  auto holder = mutex.try_lock();
  ASSERT_TRUE(holder);
  std::vector<Task<void>> waiters;
  for (int id = 0; id < 6; ++id) {
    waiters.push_back(spawn(ctx.get_executor(), append_under_lock(&mutex, id)));
    ctx.poll();  // parks it before the next one arrives
  }
  holder.reset();
  // The lock went straight to the first waiter: a newcomer cannot barge in.
  EXPECT_FALSE(mutex.try_lock());
  ctx.poll();
  auto guard = mutex.try_lock();
  ASSERT_TRUE(guard);
  EXPECT_EQ(**guard, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

asio::awaitable<bool> lock_times_out(AsyncMutex<std::vector<int>>* mutex) {
  co_return !(co_await with_timeout(mutex->lock(), 0ms)).has_value();
}

TEST(AsyncMutex, CancelledWaiterLeavesTheQueue) {
  asio::io_context ctx;
  AsyncMutex<std::vector<int>> mutex;
  auto holder = mutex.try_lock();
  auto gave_up = spawn(ctx.get_executor(), lock_times_out(&mutex));
  ctx.run();
  auto next = spawn(ctx.get_executor(), append_under_lock(&mutex, 1));
  ctx.restart();
  ctx.poll();
  holder.reset();
  ctx.poll();
  ASSERT_TRUE(next.finished());
  EXPECT_EQ(gave_up.wait(), Task<bool>::Result(true));
  EXPECT_TRUE(next.wait());
  auto guard = mutex.try_lock();
  ASSERT_TRUE(guard) << "the abandoned acquisition still holds the lock";
  EXPECT_EQ(**guard, std::vector<int>{1});
}

struct Counter {
  int total = 0;
  int inside = 0;
  int overlaps = 0;
};

asio::awaitable<void> count(AsyncMutex<Counter>* mutex, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    auto guard = co_await mutex->lock();
    if (++guard->inside != 1) ++guard->overlaps;
    co_await yield();  // hold it across a suspension, so other workers really contend
    ++guard->total;
    --guard->inside;
  }
}

TEST(AsyncMutex, ManyContendingTasksOnTheRuntimeNeitherOverlapNorDeadlock) {
  constexpr int kTasks = 16;
  constexpr int kRounds = 200;
  AsyncMutex<Counter> mutex;
  std::vector<Task<void>> tasks;
  for (int i = 0; i < kTasks; ++i) tasks.push_back(spawn(count(&mutex, kRounds)));
  for (auto& task : tasks) EXPECT_TRUE(task.wait());
  auto guard = mutex.lock_blocking();
  ASSERT_TRUE(guard);
  EXPECT_EQ((*guard)->total, kTasks * kRounds);
  EXPECT_EQ((*guard)->overlaps, 0);
}

TEST(AsyncMutex, ThreadParkedInLockBlockingWaitsForTheHolder) {
  AsyncMutex<int> mutex(0);
  auto holder = mutex.try_lock();
  ASSERT_TRUE(holder);
  std::thread other([&] {
    auto guard = mutex.lock_blocking();
    if (guard) ++**guard;
  });
  **holder = 99;
  holder.reset();
  other.join();
  EXPECT_EQ(**mutex.try_lock(), 100);
}

}  // namespace
}  // namespace sorvel::runtime
