// The portable continuous read: one submit_in after the other, for backends without their own.

#include <mutex>
#include <optional>
#include <utility>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {

namespace {

class ChainedRead;

/// The read whose submit_in call is running on this thread: a completion that comes inside that
/// call (the boundary allows it) is left to the submitting loop, so a backend that completes at
/// once cannot make the chain recurse without bound.
thread_local const ChainedRead* t_submitting = nullptr;

class ChainedRead final : public PendingTransfer, public std::enable_shared_from_this<ChainedRead> {
 public:
  ChainedRead(Interface& interface, std::uint8_t endpoint, std::size_t length,
              std::shared_ptr<StreamSink> sink)
      : interface_(interface), endpoint_(endpoint), length_(length), sink_(std::move(sink)) {}

  /// Submits transfers until one is left in flight or the stream has ended.
  void pump() {
    for (;;) {
      if (is_cancelled()) return finish(TransferError::Cancelled);
      sink_->on_submit();
      std::size_t generation = 0;
      {
        std::lock_guard lock(mutex_);
        generation = ++submitted_;
      }
      const ChainedRead* outer = std::exchange(t_submitting, this);
      auto next = interface_.submit_in(endpoint_, length_,
                                       [self = shared_from_this(), generation](TransferResult r) {
                                         self->completed(generation, std::move(r));
                                       });
      t_submitting = outer;
      std::optional<TransferResult> early;
      bool in_flight = false;
      bool cancelled = false;
      {
        std::lock_guard lock(mutex_);
        if (early_generation_ == generation) {
          early = std::exchange(early_, std::nullopt);
        } else if (completed_ < generation) {
          // Not completed yet, neither here nor on a backend thread.
          current_ = next;
          in_flight = true;
        }
        cancelled = cancelled_;
      }
      if (!early) {
        // A cancel that came before the handle was stored still reaches this transfer.
        if (cancelled && in_flight) next->cancel();
        return;
      }
      if (!deliver(std::move(*early))) return;
    }
  }

  void cancel() override {
    std::shared_ptr<PendingTransfer> current;
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      current = current_;
    }
    if (current) current->cancel();
  }

 private:
  bool is_cancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

  void completed(std::size_t generation, TransferResult result) {
    {
      std::lock_guard lock(mutex_);
      completed_ = generation;
      // Our handle on the transfer only: the backend keeps the callback running now, and with
      // it this read, alive until it returns.
      current_.reset();
      if (t_submitting == this) {
        early_ = std::move(result);
        early_generation_ = generation;
        return;
      }
    }
    if (deliver(std::move(result))) pump();
  }

  /// Hands a completed transfer to the sink; false when it ended the stream.
  bool deliver(TransferResult result) {
    if (!result.ok()) {
      finish(*result.error);
      return false;
    }
    sink_->on_transfer(result.data);
    return true;
  }

  void finish(TransferError error) {
    {
      std::lock_guard lock(mutex_);
      current_.reset();
    }
    std::shared_ptr<StreamSink> sink = std::move(sink_);
    sink->on_end(error);
  }

  Interface& interface_;
  const std::uint8_t endpoint_;
  const std::size_t length_;
  std::shared_ptr<StreamSink> sink_;  // touched only by the chain, one step at a time
  std::mutex mutex_;
  std::shared_ptr<PendingTransfer> current_;  // guarded by mutex_
  std::optional<TransferResult> early_;       // guarded by mutex_: completed inside submit_in
  bool cancelled_ = false;                    // guarded by mutex_
  std::size_t submitted_ = 0;                 // guarded by mutex_
  std::size_t completed_ = 0;                 // guarded by mutex_
  std::size_t early_generation_ = 0;          // guarded by mutex_
};

}  // namespace

std::shared_ptr<PendingTransfer> Interface::read_stream(std::uint8_t endpoint, std::size_t length,
                                                        std::shared_ptr<StreamSink> sink) {
  auto read = std::make_shared<ChainedRead>(*this, endpoint, length, std::move(sink));
  read->pump();
  return read;
}

}  // namespace sorvel::usb
