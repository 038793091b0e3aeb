// The portable continuous read (Interface::read_stream over submit_in).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes numbered(std::uint64_t n) {
  Bytes bytes(sizeof n);
  std::memcpy(bytes.data(), &n, sizeof n);
  return bytes;
}

/// What transfer `index` of a stream yields: a result, or nothing (it stays in flight until
/// cancelled).
using Script = std::function<std::optional<TransferResult>(std::size_t index)>;

/// Answers submit_in from `script`, either on a backend thread of its own or inside the submit
/// call. A transfer keeps its callback after completing, as a backend may for a while.
class ScriptedInterface final : public Interface {
 public:
  enum class Completion { OnBackendThread, InsideSubmit };

  ScriptedInterface(Script script, Completion completion)
      : script_(std::move(script)), completion_(completion) {
    if (completion_ == Completion::OnBackendThread) worker_ = std::thread([this] { work(); });
  }
  ~ScriptedInterface() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  std::uint8_t number() const override { return 0; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t) override { return {}; }
  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t, std::size_t,
                                             TransferCallback done) override {
    auto transfer = std::make_shared<Transfer>(*this, std::move(done));
    {
      std::lock_guard lock(mutex_);
      transfer->index = submitted_++;
      if (completion_ == Completion::OnBackendThread) {
        queue_.push_back(transfer);
        changed_.notify_all();
        return transfer;
      }
    }
    if (auto result = script_(transfer->index)) {
      transfer->finish(std::move(*result));
    } else {
      std::lock_guard lock(mutex_);
      held_.push_back(transfer);
    }
    return transfer;
  }
  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t, Bytes, TransferCallback) override {
    ADD_FAILURE() << "a read submits nothing out";
    return nullptr;
  }

  std::size_t submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
  }

 private:
  struct Transfer final : PendingTransfer {
    Transfer(ScriptedInterface& owner, TransferCallback done)
        : owner(owner), done(std::move(done)) {}
    void cancel() override { owner.cancel(this); }
    void finish(TransferResult result) {
      if (!finished.exchange(true)) done(std::move(result));
    }

    ScriptedInterface& owner;
    TransferCallback done;  // kept after the completion
    std::size_t index = 0;
    std::atomic<bool> finished{false};
  };

  void cancel(Transfer* target) {
    std::shared_ptr<Transfer> held;
    {
      std::lock_guard lock(mutex_);
      for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (it->get() == target) {
          held = *it;
          held_.erase(it);
          break;
        }
      }
      if (!held) return;  // completed, or about to be
      if (completion_ == Completion::OnBackendThread) {
        cancelled_.push_back(held);
        changed_.notify_all();
        return;
      }
    }
    held->finish({TransferError::Cancelled, {}});
  }

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty() || !cancelled_.empty(); });
      if (stopping_) return;
      std::shared_ptr<Transfer> transfer;
      std::optional<TransferResult> result;
      if (!cancelled_.empty()) {
        transfer = cancelled_.front();
        cancelled_.pop_front();
        result = TransferResult{TransferError::Cancelled, {}};
      } else {
        transfer = queue_.front();
        queue_.pop_front();
        lock.unlock();
        result = script_(transfer->index);
        lock.lock();
        if (!result) {
          held_.push_back(transfer);
          continue;
        }
      }
      lock.unlock();
      transfer->finish(std::move(*result));
      lock.lock();
    }
  }

  Script script_;
  const Completion completion_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t submitted_ = 0;                        // guarded by mutex_
  std::deque<std::shared_ptr<Transfer>> queue_;      // guarded by mutex_
  std::deque<std::shared_ptr<Transfer>> cancelled_;  // guarded by mutex_
  std::vector<std::shared_ptr<Transfer>> held_;      // guarded by mutex_
  bool stopping_ = false;                            // guarded by mutex_
  std::thread worker_;
};

/// Records what the stream hands over; a call after the end is a failure.
class RecordingSink final : public StreamSink {
 public:
  void on_submit() override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(ended_) << "submission after the end";
    ++submissions_;
  }
  void on_transfer(std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(ended_) << "transfer after the end";
    received_.emplace_back(data.begin(), data.end());
    changed_.notify_all();
  }
  void on_end(TransferError error) override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(ended_) << "a second end";
    ended_ = error;
    changed_.notify_all();
  }

  /// The end, once it has come.
  TransferError wait_end() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ended_.has_value(); });
    return *ended_;
  }
  void wait_received(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return received_.size() >= count || ended_; });
  }
  std::vector<Bytes> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::size_t submissions() const {
    std::lock_guard lock(mutex_);
    return submissions_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> received_;         // guarded by mutex_
  std::optional<TransferError> ended_;  // guarded by mutex_
  std::size_t submissions_ = 0;         // guarded by mutex_
};

TEST(ReadStream, HandsOverEveryTransferInOrderUntilTheFirstFailure) {
  using Completion = ScriptedInterface::Completion;
  const struct {
    const char* name;
    Completion completion;
    std::size_t transfers;  // before the failure
  } cases[] = {
      {"completed on a backend thread", Completion::OnBackendThread, 1000},
      {"failing at once", Completion::OnBackendThread, 0},
      // Far more than a stack holds if each completion inside submit_in nested the next one.
      {"completed inside submit_in", Completion::InsideSubmit, 300000},
      {"failing inside the first submit_in", Completion::InsideSubmit, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t transfers = c.transfers;
    auto interface = std::make_unique<ScriptedInterface>(
        [transfers](std::size_t index) -> std::optional<TransferResult> {
          if (index == transfers) return TransferResult{TransferError::Stall, {}};
          return TransferResult{std::nullopt, numbered(index)};
        },
        c.completion);
    auto sink = std::make_shared<RecordingSink>();
    std::weak_ptr<PendingTransfer> read = interface->read_stream(0x81, 64, sink);

    EXPECT_EQ(sink->wait_end(), TransferError::Stall);
    const auto received = sink->received();
    ASSERT_EQ(received.size(), transfers);
    for (std::size_t i = 0; i < received.size(); ++i) {
      if (received[i] != numbered(i)) FAIL() << "transfer " << i << " out of order";
    }
    EXPECT_EQ(sink->submissions(), transfers + 1);
    EXPECT_EQ(interface->submitted(), transfers + 1) << "nothing submitted after the failure";
    interface.reset();  // joins the backend thread, which may still be returning from the end
    // Nothing holds the read once it has ended: neither the transfers nor their callbacks.
    EXPECT_TRUE(read.expired());
    EXPECT_EQ(sink.use_count(), 1) << "the stream let go of its sink";
  }
}

TEST(ReadStream, ACancelFromAnotherThreadEndsTheStreamOnceWhereverItLands) {
  using Completion = ScriptedInterface::Completion;
  // An endless stream on a backend thread, cancelled at different points; a stream whose last
  // transfer stays in flight, cancelled while it waits, whichever way transfers complete.
  const struct {
    const char* name;
    Completion completion;
    std::size_t stays_in_flight;  // index of the transfer that never completes by itself
  } cases[] = {
      {"racing with completions", Completion::OnBackendThread, SIZE_MAX},
      {"while a transfer waits", Completion::OnBackendThread, 3},
      {"while a transfer waits, completions inside submit_in", Completion::InsideSubmit, 3},
  };
  for (const auto& c : cases) {
    for (std::size_t after : {0u, 1u, 3u, 50u}) {
      if (c.stays_in_flight != SIZE_MAX && after > c.stays_in_flight) continue;
      SCOPED_TRACE(std::string(c.name) + ", after " + std::to_string(after));
      const std::size_t stays = c.stays_in_flight;
      auto interface = std::make_unique<ScriptedInterface>(
          [stays](std::size_t index) -> std::optional<TransferResult> {
            if (index == stays) return std::nullopt;
            return TransferResult{std::nullopt, numbered(index)};
          },
          c.completion);
      auto sink = std::make_shared<RecordingSink>();
      auto read = interface->read_stream(0x81, 64, sink);
      sink->wait_received(after);
      std::thread([read] { read->cancel(); }).join();

      EXPECT_EQ(sink->wait_end(), TransferError::Cancelled);
      read->cancel();  // after the end: nothing happens
      const auto received = sink->received();
      for (std::size_t i = 0; i < received.size(); ++i) {
        if (received[i] != numbered(i)) FAIL() << "transfer " << i << " out of order";
      }
      const std::size_t submitted = interface->submitted();
      EXPECT_LE(submitted, received.size() + 1) << "one transfer in flight at a time";
      interface.reset();  // joins the backend thread: no completion is left to come
      EXPECT_EQ(sink->received().size(), received.size());
    }
  }
}

}  // namespace
}  // namespace sorvel::usb
