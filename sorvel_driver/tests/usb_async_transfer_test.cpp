#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

#include "sorvel/driver/usb/async_transfer.hpp"

namespace sorvel::usb {
namespace {

/// An interface whose transfers stay pending until the test completes them. Every completion,
/// including the Cancelled one that `cancel` causes, runs on a thread of its own, as a backend's
/// would; the first completion of a transfer wins.
class FakeInterface final : public Interface {
 public:
  struct Submission {
    std::uint8_t endpoint;
    std::size_t length;
    std::vector<std::uint8_t> bytes;
  };

  ~FakeInterface() override { drain(); }

  std::uint8_t number() const override { return 1; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t) override { return {}; }
  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                             TransferCallback done) override {
    return submit({endpoint, length, {}}, std::move(done));
  }
  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t endpoint,
                                              std::vector<std::uint8_t> bytes,
                                              TransferCallback done) override {
    const std::size_t length = bytes.size();
    return submit({endpoint, length, std::move(bytes)}, std::move(done));
  }

  void complete(std::size_t index, TransferResult result) {
    finish_later(transfers_.at(index), std::move(result));
  }
  /// Runs inside the next submit call, before it returns.
  void on_next_submit(std::function<void()> hook) { submit_hook_ = std::move(hook); }
  /// Waits for every completion started so far.
  void drain() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }

  const Submission& submission(std::size_t index) const { return transfers_.at(index)->request; }
  std::size_t submissions() const { return transfers_.size(); }
  int cancel_calls() const { return cancel_calls_; }
  int callbacks() const { return callbacks_; }
  std::thread::id callback_thread() const { return callback_thread_; }

 private:
  struct Transfer {
    Submission request;
    TransferCallback done;
    std::atomic<bool> finished{false};
  };

  class Pending final : public PendingTransfer {
   public:
    Pending(FakeInterface& owner, std::shared_ptr<Transfer> transfer)
        : owner_(owner), transfer_(std::move(transfer)) {}
    void cancel() override {
      ++owner_.cancel_calls_;
      owner_.finish_later(transfer_, TransferResult{TransferError::Cancelled, {}});
    }

   private:
    FakeInterface& owner_;
    std::shared_ptr<Transfer> transfer_;
  };

  std::shared_ptr<PendingTransfer> submit(Submission request, TransferCallback done) {
    auto transfer = std::make_shared<Transfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    transfers_.push_back(transfer);
    if (auto hook = std::exchange(submit_hook_, {})) hook();
    return std::make_shared<Pending>(*this, transfer);
  }

  void finish_later(std::shared_ptr<Transfer> transfer, TransferResult result) {
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, transfer, result = std::move(result)]() mutable {
      if (transfer->finished.exchange(true)) return;
      callback_thread_ = std::this_thread::get_id();  // one writer: the winner
      ++callbacks_;
      transfer->done(std::move(result));
    });
  }

  // Submissions come from the test's thread only.
  std::vector<std::shared_ptr<Transfer>> transfers_;
  std::function<void()> submit_hook_;
  std::atomic<int> cancel_calls_{0};
  std::atomic<int> callbacks_{0};
  std::thread::id callback_thread_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
};

/// Completes transfer `index` once it has been submitted. It runs on the same thread as the
/// coroutine awaiting that transfer, so it only gets there if awaiting holds no thread.
asio::awaitable<void> answer(FakeInterface& fake, std::size_t index, TransferResult result) {
  while (fake.submissions() <= index) {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  }
  fake.complete(index, std::move(result));
}

TEST(AsyncTransfer, ResumesOnTheAwaitingExecutorWithTheBackendResult) {
  asio::io_context context;  // outlives the fake, whose pending callbacks hold work on it
  FakeInterface fake;
  std::optional<TransferResult> read;
  std::optional<TransferResult> written;
  std::vector<std::thread::id> resumed_on;

  asio::co_spawn(
      context,
      [&]() -> asio::awaitable<void> {
        read = co_await transfer_in(fake, 0x82, 63);
        resumed_on.push_back(std::this_thread::get_id());
        std::vector<std::uint8_t> command{0x01, 0x02, 0x03};
        written = co_await transfer_out(fake, 0x01, std::move(command));
        resumed_on.push_back(std::this_thread::get_id());
      },
      asio::detached);
  asio::co_spawn(context, answer(fake, 0, TransferResult{std::nullopt, {0x05, 0xAA, 0xBB}}),
                 asio::detached);
  asio::co_spawn(context, answer(fake, 1, TransferResult{TransferError::Stall, {}}),
                 asio::detached);
  context.run();  // returns only once both transfers have completed and the coroutines ended

  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->ok());
  EXPECT_EQ(read->data, (std::vector<std::uint8_t>{0x05, 0xAA, 0xBB}));
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->error, TransferError::Stall);
  EXPECT_EQ(resumed_on, std::vector<std::thread::id>(2, std::this_thread::get_id()));
  EXPECT_NE(fake.callback_thread(), std::this_thread::get_id());

  ASSERT_EQ(fake.submissions(), 2u);
  EXPECT_EQ(fake.submission(0).endpoint, 0x82);
  EXPECT_EQ(fake.submission(0).length, 63u);
  EXPECT_EQ(fake.submission(1).endpoint, 0x01);
  EXPECT_EQ(fake.submission(1).bytes, (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));
  EXPECT_EQ(fake.cancel_calls(), 0);
}

TEST(AsyncTransfer, LosingATimerRaceCancelsTheTransferAndWaitsForItsEnd) {
  using namespace asio::experimental::awaitable_operators;
  asio::io_context context;  // outlives the fake, whose pending callbacks hold work on it
  FakeInterface fake;
  std::optional<TransferResult> read;
  std::optional<std::size_t> winner;

  asio::co_spawn(
      context,
      [&]() -> asio::awaitable<void> {
        // Already expired: the race is decided without waiting on the clock.
        asio::steady_timer timer(co_await asio::this_coro::executor,
                                 std::chrono::steady_clock::time_point{});
        auto reader = [&]() -> asio::awaitable<void> {
          read = co_await transfer_in(fake, 0x81, 64);
        };
        auto result = co_await (reader() || timer.async_wait(asio::use_awaitable));
        winner = result.index();
      },
      asio::detached);
  context.run();

  ASSERT_EQ(winner, 1u);
  EXPECT_EQ(fake.submissions(), 1u);
  EXPECT_EQ(fake.cancel_calls(), 1);
  // `||` resumes only after the cancelled transfer has reported its end.
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->error, TransferError::Cancelled);
  EXPECT_EQ(fake.callbacks(), 1);
}

// Drives the operation directly with a cancellation signal and a plain handler bound to the
// context, so that each ordering of callback and cancellation can be set up exactly.
struct DirectRun {
  asio::io_context context;  // outlives the fake, whose pending callbacks hold work on it
  FakeInterface fake;
  asio::cancellation_signal signal;
  std::vector<TransferResult> results;
  std::thread::id handler_thread;

  void start_in() {
    async_transfer_in(fake, 0x81, 64,
                      asio::bind_cancellation_slot(
                          signal.slot(), asio::bind_executor(context, [this](TransferResult r) {
                            handler_thread = std::this_thread::get_id();
                            results.push_back(std::move(r));
                          })));
  }
};

TEST(AsyncTransfer, CancellationTypesThatCancelTheTransfer) {
  const struct {
    asio::cancellation_type_t type;
    bool cancels;
  } cases[] = {
      {asio::cancellation_type::terminal, true},
      {asio::cancellation_type::partial, true},
      {asio::cancellation_type::all, true},
      // Total cancellation promises no side effects; a transfer may have moved bytes already.
      {asio::cancellation_type::total, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    DirectRun run;
    run.start_in();
    run.signal.emit(c.type);
    if (!c.cancels) run.fake.complete(0, TransferResult{std::nullopt, {0x07}});
    run.context.run();

    EXPECT_EQ(run.fake.cancel_calls(), c.cancels ? 1 : 0);
    ASSERT_EQ(run.results.size(), 1u);
    if (c.cancels) {
      EXPECT_EQ(run.results[0].error, TransferError::Cancelled);
    } else {
      EXPECT_TRUE(run.results[0].ok());
    }
    EXPECT_EQ(run.handler_thread, std::this_thread::get_id());
  }
}

TEST(AsyncTransfer, CancellationDuringTheSubmitCallIsAppliedOnceSubmitted) {
  DirectRun run;
  // Emitted before the backend has returned the transfer's handle.
  run.fake.on_next_submit([&run] { run.signal.emit(asio::cancellation_type::terminal); });
  run.start_in();
  ASSERT_EQ(run.fake.cancel_calls(), 1);  // otherwise nothing would ever end the transfer
  run.context.run();

  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0].error, TransferError::Cancelled);
}

TEST(AsyncTransfer, CancellationAfterTheBackendAnsweredKeepsTheRealResult) {
  DirectRun run;
  run.start_in();
  run.fake.complete(0, TransferResult{std::nullopt, {0x53, 0x4F, 0x52, 0x2E}});
  run.fake.drain();  // the callback has run; its completion waits in the context's queue
  EXPECT_EQ(run.fake.callbacks(), 1);
  EXPECT_TRUE(run.results.empty());

  run.signal.emit(asio::cancellation_type::terminal);
  run.fake.drain();
  run.context.run();

  EXPECT_EQ(run.fake.cancel_calls(), 1);  // asked, but too late to matter
  EXPECT_EQ(run.fake.callbacks(), 1);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_TRUE(run.results[0].ok());
  EXPECT_EQ(run.results[0].data, (std::vector<std::uint8_t>{0x53, 0x4F, 0x52, 0x2E}));
}

TEST(AsyncTransfer, ConcurrentCancelAndCompletionDeliverExactlyOneResult) {
  // The backend answers on one thread while the executor's thread cancels; whichever wins, the
  // handler runs once, on the executor.
  for (int round = 0; round < 200; ++round) {
    DirectRun run;
    run.start_in();
    run.fake.complete(0, TransferResult{std::nullopt, {0x01}});
    run.signal.emit(asio::cancellation_type::terminal);
    run.context.run();

    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.fake.callbacks(), 1);
    EXPECT_EQ(run.handler_thread, std::this_thread::get_id());
    EXPECT_TRUE(run.results[0].ok() || run.results[0].error == TransferError::Cancelled);
  }
}

}  // namespace
}  // namespace sorvel::usb
