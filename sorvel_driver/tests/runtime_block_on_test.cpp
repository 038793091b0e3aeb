#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sorvel/driver/runtime/async_mutex.hpp"
#include "sorvel/driver/runtime/async_rwlock.hpp"
#include "sorvel/driver/runtime/block_on.hpp"

namespace sorvel::runtime {
namespace {

constexpr const char* kNestedText =
    "Cannot start a runtime from within a runtime. This happens because a function (like "
    "`block_on`) attempted to block the current thread while the thread is being used to drive "
    "asynchronous tasks.";
constexpr const char* kBlockingText =
    "Cannot block the current thread from within a runtime. This happens because a function "
    "attempted to block the current thread while the thread is being used to drive asynchronous "
    "tasks.";

asio::awaitable<int> answer() {
  co_return 42;
}

asio::awaitable<int> throw_runtime_error() {
  throw std::runtime_error("sensor exploded");
  co_return 0;
}

asio::awaitable<int> throw_non_exception() {
  throw 7;
  co_return 0;
}

asio::awaitable<bool> runs_on_worker() {
  co_return on_runtime_thread();
}

asio::awaitable<void> raise(std::atomic<bool>* flag) {
  flag->store(true);
  co_return;
}

TEST(Runtime, IsOneInstanceWithMarkedWorkers) {
  auto runtime = Runtime::get();
  ASSERT_TRUE(runtime);
  EXPECT_GE((*runtime)->thread_count(), 2u);
  EXPECT_EQ(*Runtime::get(), *runtime);
  EXPECT_FALSE(on_runtime_thread());
  EXPECT_EQ(block_on(runs_on_worker()), (Expected<bool, InternalError>(true)));
}

TEST(BlockOn, ReturnsTheValueOrTheTextOfTheEscapedException) {
  struct Case {
    const char* name;
    std::function<asio::awaitable<int>()> computation;
    Expected<int, InternalError> expected;
  };
  const std::vector<Case> cases{
      {"value", answer, 42},
      {"std::exception", throw_runtime_error, unexpected(InternalError{"sensor exploded"})},
      {"not a std::exception", throw_non_exception, unexpected(InternalError{"unknown error"})},
  };
  for (const auto& c : cases) EXPECT_EQ(block_on(c.computation()), c.expected) << c.name;

  std::atomic<bool> ran{false};
  EXPECT_TRUE(block_on(raise(&ran)).has_value());
  EXPECT_TRUE(ran.load());
}

// Each probe runs on a worker and reports the refusal text it got ("" when not refused).
asio::awaitable<std::string> nested_block_on() {
  auto r = block_on(answer());
  co_return r ? "" : r.error().message;
}

asio::awaitable<std::string> blocking_wait() {
  auto task = spawn(answer());
  auto r = task.wait();
  co_return r ? "" : r.error().failure.message;
}

template <typename Acquire>
asio::awaitable<std::string> blocking_lock(Acquire acquire) {
  auto r = acquire();
  co_return r ? "" : r.error().message;
}

TEST(BlockOn, BlockingCallsAreRefusedOnRuntimeThreads) {
  AsyncMutex<int> mutex(0);
  AsyncRwLock<int> rwlock(0);
  struct Case {
    const char* name;
    std::function<asio::awaitable<std::string>()> probe;
    const char* text;
  };
  const std::vector<Case> cases{
      {"block_on", nested_block_on, kNestedText},
      {"Task::wait", blocking_wait, kBlockingText},
      {"lock_blocking", [&] { return blocking_lock([&] { return mutex.lock_blocking(); }); },
       kBlockingText},
      {"read_blocking", [&] { return blocking_lock([&] { return rwlock.read_blocking(); }); },
       kBlockingText},
      {"write_blocking", [&] { return blocking_lock([&] { return rwlock.write_blocking(); }); },
       kBlockingText},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(block_on(c.probe()), (Expected<std::string, InternalError>(c.text))) << c.name;
  }
  // A refusal takes nothing.
  EXPECT_TRUE(mutex.try_lock().has_value());
  EXPECT_TRUE(rwlock.try_write().has_value());
}

}  // namespace
}  // namespace sorvel::runtime
