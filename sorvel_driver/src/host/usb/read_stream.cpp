// The portable continuous read: one submit_in after the other, for backends without their own.

#include <mutex>
#include <utility>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {

namespace {

class ChainedRead final : public PendingTransfer, public std::enable_shared_from_this<ChainedRead> {
 public:
  ChainedRead(Interface& interface, std::uint8_t endpoint, std::size_t length,
              std::shared_ptr<StreamSink> sink)
      : interface_(interface), endpoint_(endpoint), length_(length), sink_(std::move(sink)) {}

  void submit_next() {
    std::size_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      generation = ++submitted_;
    }
    auto next = interface_.submit_in(
        endpoint_, length_,
        [self = shared_from_this()](TransferResult result) { self->completed(std::move(result)); });
    bool cancelled = false;
    {
      std::lock_guard lock(mutex_);
      // The transfer may have completed, and its successor been stored, before we got here.
      if (generation == submitted_) current_ = next;
      cancelled = cancelled_;
    }
    // A cancel that came before the handle was stored still reaches this transfer.
    if (cancelled) next->cancel();
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
  void completed(TransferResult result) {
    if (result.ok()) {
      sink_->on_transfer(result.data);
      bool cancelled = false;
      {
        std::lock_guard lock(mutex_);
        cancelled = cancelled_;
      }
      if (!cancelled) {
        submit_next();
        return;
      }
      result.error = TransferError::Cancelled;
    }
    std::shared_ptr<StreamSink> sink = std::move(sink_);
    {
      std::lock_guard lock(mutex_);
      current_.reset();
    }
    sink->on_end(*result.error);
  }

  Interface& interface_;
  const std::uint8_t endpoint_;
  const std::size_t length_;
  std::shared_ptr<StreamSink> sink_;  // touched only by the completion in flight
  std::mutex mutex_;
  std::shared_ptr<PendingTransfer> current_;  // guarded by mutex_
  bool cancelled_ = false;                    // guarded by mutex_
  std::size_t submitted_ = 0;                 // guarded by mutex_
};

}  // namespace

std::shared_ptr<PendingTransfer> Interface::read_stream(std::uint8_t endpoint, std::size_t length,
                                                        std::shared_ptr<StreamSink> sink) {
  auto read = std::make_shared<ChainedRead>(*this, endpoint, length, std::move(sink));
  read->submit_next();
  return read;
}

}  // namespace sorvel::usb
