#pragma once
// Transfers (and continuous reads) of the USB boundary as Asio asynchronous operations, so that a
// coroutine awaits a completion without holding a thread: the backend's callback only posts the
// result to the executor associated with the completion handler.
//
// Cancellation: the operation supports terminal and partial cancellation through the handler's
// associated cancellation slot. A cancellation asks the backend to cancel the transfer; the
// operation still completes only when the backend reports the transfer's end (normally with
// `Cancelled`, or with the transfer's real result when it had already finished). As with every
// Asio operation, the cancellation signal is emitted on the operation's executor.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {

namespace detail {

/// Connects a cancellation request to a transfer that may not have been submitted yet when the
/// request arrives (the request is then applied right after the submission).
class TransferCanceller {
 public:
  void request() {
    std::shared_ptr<PendingTransfer> pending;
    {
      std::lock_guard lock(mutex_);
      requested_ = true;
      pending = pending_;
    }
    // Outside the lock: a backend may take its own locks in cancel, and cancelling a transfer
    // that has already completed does nothing.
    if (pending) pending->cancel();
  }

  void submitted(std::shared_ptr<PendingTransfer> pending) {
    bool requested = false;
    {
      std::lock_guard lock(mutex_);
      pending_ = pending;
      requested = requested_;
    }
    if (requested && pending) pending->cancel();
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<PendingTransfer> pending_;
  bool requested_ = false;
};

class CancelSlotHandler {
 public:
  explicit CancelSlotHandler(std::shared_ptr<TransferCanceller> canceller)
      : canceller_(std::move(canceller)) {}

  void operator()(asio::cancellation_type_t type) {
    if ((type & (asio::cancellation_type::terminal | asio::cancellation_type::partial)) !=
        asio::cancellation_type::none) {
      canceller_->request();
    }
  }

 private:
  std::shared_ptr<TransferCanceller> canceller_;
};

/// The state of one transfer operation, shared by the backend callback (a std::function, hence
/// copyable) and the completion posted to the handler's executor.
template <typename Handler>
class TransferOperation {
 public:
  using Slot = asio::associated_cancellation_slot_t<Handler>;
  using WorkExecutor =
      std::decay_t<decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                                         asio::execution::outstanding_work.tracked))>;

  explicit TransferOperation(Handler handler)
      : slot_(asio::get_associated_cancellation_slot(handler)),
        // Tracked work keeps the executor's context running until the backend has answered.
        work_(asio::prefer(asio::get_associated_executor(handler),
                           asio::execution::outstanding_work.tracked)),
        handler_(std::move(handler)) {}

  Slot& slot() { return slot_; }

  /// Called once, on a backend thread.
  static void complete(const std::shared_ptr<TransferOperation>& self, TransferResult result) {
    WorkExecutor work = std::move(self->work_);
    asio::post(std::move(work), [self, result = std::move(result)]() mutable {
      // Runs on the handler's executor, where the slot is emitted, so clearing it cannot race.
      if (self->slot_.is_connected()) self->slot_.clear();
      Handler handler = std::move(self->handler_);
      std::move(handler)(std::move(result));
    });
  }

 private:
  Slot slot_;
  WorkExecutor work_;
  Handler handler_;
};

struct InitiateTransfer {
  /// `submit(callback)` submits the transfer and returns its pending handle.
  template <typename Handler, typename Submit>
  void operator()(Handler&& handler, Submit submit) const {
    using Operation = TransferOperation<std::decay_t<Handler>>;
    auto operation = std::make_shared<Operation>(std::forward<Handler>(handler));

    // The slot is connected before the submission: once submitted, the transfer may complete
    // and its handler run on another thread, after which the slot belongs to someone else.
    std::shared_ptr<TransferCanceller> canceller;
    if (operation->slot().is_connected()) {
      canceller = std::make_shared<TransferCanceller>();
      operation->slot().template emplace<CancelSlotHandler>(canceller);
    }

    std::shared_ptr<PendingTransfer> pending = submit(
        [operation](TransferResult result) { Operation::complete(operation, std::move(result)); });
    if (canceller) canceller->submitted(std::move(pending));
  }
};

/// Passes a stream on to the reader's sink and, once that sink has seen the end, completes the
/// operation that awaits it.
class ReadStreamEndSink final : public StreamSink {
 public:
  ReadStreamEndSink(std::shared_ptr<StreamSink> sink, TransferCallback done)
      : sink_(std::move(sink)), done_(std::move(done)) {}

  void on_submit() override { sink_->on_submit(); }
  void on_transfer(std::span<const std::uint8_t> data) override { sink_->on_transfer(data); }
  void on_end(TransferError error) override {
    sink_->on_end(error);
    TransferCallback done = std::move(done_);
    done(TransferResult{error, {}});
  }

 private:
  std::shared_ptr<StreamSink> sink_;
  TransferCallback done_;
};

}  // namespace detail

/// Streams IN endpoint `endpoint` into `sink` (`Interface::read_stream`), whose calls stay on the
/// backend's threads; completes with `void(TransferResult)` once the stream has ended, the error
/// that ended it in the result. Cancelling the operation cancels the stream, and the operation
/// still completes only at its end. `interface` must stay alive until the operation completes.
template <typename CompletionToken>
auto async_read_stream(Interface& interface, std::uint8_t endpoint, std::size_t length,
                       std::shared_ptr<StreamSink> sink, CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void(TransferResult)>(
      detail::InitiateTransfer{}, token,
      [&interface, endpoint, length, sink = std::move(sink)](TransferCallback done) mutable {
        return interface.read_stream(
            endpoint, length,
            std::make_shared<detail::ReadStreamEndSink>(std::move(sink), std::move(done)));
      });
}

/// Reads at most `length` bytes from IN endpoint `endpoint`; completes with `void(TransferResult)`.
/// `interface` must stay alive until the operation has been initiated.
template <typename CompletionToken>
auto async_transfer_in(Interface& interface, std::uint8_t endpoint, std::size_t length,
                       CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void(TransferResult)>(
      detail::InitiateTransfer{}, token, [&interface, endpoint, length](TransferCallback done) {
        return interface.submit_in(endpoint, length, std::move(done));
      });
}

/// Writes `bytes` to OUT endpoint `endpoint`; completes with `void(TransferResult)`.
template <typename CompletionToken>
auto async_transfer_out(Interface& interface, std::uint8_t endpoint,
                        std::vector<std::uint8_t> bytes, CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void(TransferResult)>(
      detail::InitiateTransfer{}, token,
      [&interface, endpoint, bytes = std::move(bytes)](TransferCallback done) mutable {
        return interface.submit_out(endpoint, std::move(bytes), std::move(done));
      });
}

/// Awaitable form of `async_transfer_in`; resumes on the awaiting coroutine's executor.
inline asio::awaitable<TransferResult> transfer_in(Interface& interface, std::uint8_t endpoint,
                                                   std::size_t length) {
  co_return co_await async_transfer_in(interface, endpoint, length, asio::use_awaitable);
}

/// Awaitable form of `async_read_stream`; resumes on the awaiting coroutine's executor.
inline asio::awaitable<TransferResult> read_stream_until_end(Interface& interface,
                                                             std::uint8_t endpoint,
                                                             std::size_t length,
                                                             std::shared_ptr<StreamSink> sink) {
  co_return co_await async_read_stream(interface, endpoint, length, std::move(sink),
                                       asio::use_awaitable);
}

/// Awaitable form of `async_transfer_out`; resumes on the awaiting coroutine's executor.
inline asio::awaitable<TransferResult> transfer_out(Interface& interface, std::uint8_t endpoint,
                                                    std::vector<std::uint8_t> bytes) {
  co_return co_await async_transfer_out(interface, endpoint, std::move(bytes), asio::use_awaitable);
}

}  // namespace sorvel::usb
