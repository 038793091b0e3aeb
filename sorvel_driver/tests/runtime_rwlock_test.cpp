#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "sorvel/driver/runtime/async_rwlock.hpp"
#include "sorvel/driver/runtime/task.hpp"

namespace sorvel::runtime {
namespace {

using Log = std::vector<std::string>;

asio::awaitable<void> yield() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

// Takes the lock ("R..." reads, "W..." writes), logs entry, holds it one turn, logs exit.
asio::awaitable<void> visit(AsyncRwLock<int>* lock, Log* log, std::string name) {
  auto enter_and_leave = [&]() -> asio::awaitable<void> {
    log->push_back(name + "+");
    co_await yield();
    log->push_back(name + "-");
  };
  if (name[0] == 'R') {
    auto guard = co_await lock->read();
    co_await enter_and_leave();
  } else {
    auto guard = co_await lock->write();
    co_await enter_and_leave();
  }
}

TEST(AsyncRwLock, ServesWaitersInArrivalOrderWithReadersTogether) {
  struct Case {
    const char* name;
    bool held_for_writing;
    std::vector<std::string> arrivals;
    Log expected;
  };
  const std::vector<Case> cases{
      {"a queued writer holds back later readers",
       false,
       {"W1", "R1"},
       {"W1+", "W1-", "R1+", "R1-"}},
      {"readers behind a writer enter together", true, {"R1", "R2"}, {"R1+", "R2+", "R1-", "R2-"}},
      {"arrival order across modes",
       true,
       {"R1", "R2", "W1", "R3", "W2"},
       {"R1+", "R2+", "R1-", "R2-", "W1+", "W1-", "R3+", "R3-", "W2+", "W2-"}},
  };
  for (const auto& c : cases) {
    asio::io_context ctx;
    AsyncRwLock<int> lock(0);
    Log log;
    std::optional<AsyncRwLock<int>::ReadGuard> reader;
    std::optional<AsyncRwLock<int>::WriteGuard> writer;
    if (c.held_for_writing) {
      writer = lock.try_write();
    } else {
      reader = lock.try_read();
    }
    std::vector<Task<void>> visits;
    for (const auto& name : c.arrivals) {
      visits.push_back(spawn(ctx.get_executor(), visit(&lock, &log, name)));
      ctx.poll();
    }
    EXPECT_TRUE(log.empty()) << c.name << ": someone entered while the lock was held";
    EXPECT_FALSE(lock.try_read()) << c.name;
    reader.reset();
    writer.reset();
    ctx.poll();
    EXPECT_EQ(log, c.expected) << c.name;
  }
}

TEST(AsyncRwLock, AWriterThatGivesUpLetsTheReadersBehindItIn) {
  asio::io_context ctx;
  AsyncRwLock<int> lock(0);
  Log log;
  auto held = lock.try_read();
  auto writer = spawn(ctx.get_executor(), visit(&lock, &log, "W1"));
  ctx.poll();
  auto reader = spawn(ctx.get_executor(), visit(&lock, &log, "R1"));
  ctx.poll();
  EXPECT_TRUE(log.empty());
  writer.cancel();
  ctx.poll();
  EXPECT_EQ(log, (Log{"R1+", "R1-"}));
  ASSERT_TRUE(writer.finished() && reader.finished());
  EXPECT_TRUE(writer.wait().error().is_cancelled());
  EXPECT_TRUE(reader.wait());
}

}  // namespace
}  // namespace sorvel::runtime
