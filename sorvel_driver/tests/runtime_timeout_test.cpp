#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "sorvel/driver/runtime/task.hpp"
#include "sorvel/driver/runtime/with_timeout.hpp"

namespace sorvel::runtime {
namespace {

using namespace std::chrono_literals;

// The runs below end as soon as no work is left; the bound only turns a hang into a failure.
constexpr auto kHangGuard = 30s;

struct Probe {
  bool aborted = false;
};

asio::awaitable<int> value_after(std::chrono::hours wait, Probe* probe) {
  asio::steady_timer timer(co_await asio::this_coro::executor, wait);
  try {
    if (wait.count() > 0) co_await timer.async_wait(asio::use_awaitable);
  } catch (const asio::system_error& e) {
    probe->aborted = e.code() == asio::error::operation_aborted;
    throw;
  }
  co_return 7;
}

asio::awaitable<int> fails() {
  throw std::runtime_error("decode failed");
  co_return 0;
}

asio::awaitable<std::string> describe(asio::awaitable<int> operation,
                                      std::chrono::milliseconds timeout) {
  try {
    auto r = co_await with_timeout(std::move(operation), timeout);
    co_return r ? std::to_string(*r) : "timed out";
  } catch (const std::exception& e) {
    co_return std::string("threw ") + e.what();
  }
}

TEST(WithTimeout, WinnerDecidesAndLoserIsCancelled) {
  struct Case {
    const char* name;
    std::chrono::hours operation_wait;
    std::chrono::milliseconds timeout;
    const char* expected;
    bool operation_aborted;
  };
  const Case cases[] = {
      // The one-hour timer must be cancelled, or the run would not end.
      {"operation first", 0h, std::chrono::milliseconds(1h), "7", false},
      {"timer first", 1h, 0ms, "timed out", true},
  };
  for (const auto& c : cases) {
    asio::io_context ctx;
    Probe probe;
    auto task =
        spawn(ctx.get_executor(), describe(value_after(c.operation_wait, &probe), c.timeout));
    ctx.run_for(kHangGuard);
    ASSERT_TRUE(task.finished()) << c.name;
    EXPECT_EQ(task.wait(), Task<std::string>::Result(c.expected)) << c.name;
    EXPECT_EQ(probe.aborted, c.operation_aborted) << c.name;
  }
}

TEST(WithTimeout, FailureOfTheOperationIsRethrownNotTakenForATimeout) {
  asio::io_context ctx;
  auto task = spawn(ctx.get_executor(), describe(fails(), std::chrono::milliseconds(1h)));
  ctx.run_for(kHangGuard);
  ASSERT_TRUE(task.finished());
  EXPECT_EQ(task.wait(), Task<std::string>::Result("threw decode failed"));
}

TEST(WithTimeout, CancellingTheCallerCancelsTheOperation) {
  asio::io_context ctx;
  Probe probe;
  auto task = spawn(ctx.get_executor(), with_timeout(value_after(1h, &probe), 1h));
  ctx.poll();
  task.cancel();
  ctx.run_for(kHangGuard);
  ASSERT_TRUE(task.finished());
  auto result = task.wait();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_cancelled());
  EXPECT_TRUE(probe.aborted);
}

}  // namespace
}  // namespace sorvel::runtime
