// The kit's report stream: one reused buffer handed to the sink transfer after transfer, on the
// simulator's thread, until the stream ends.
#include "kit_report_stream.hpp"

#include <asio/post.hpp>

namespace sorvel::simulator {

std::shared_ptr<usb::PendingTransfer> Kit::read_reports(std::size_t length,
                                                        std::shared_ptr<usb::StreamSink> sink) {
  auto stream = std::make_shared<Stream>(weak_from_this(), length, std::move(sink));
  stream->sink_->on_submit();
  std::lock_guard lock(mutex_);
  std::optional<TransferError> refused;
  if (unplugged_) {
    refused = TransferError::Disconnected;
  } else if (reports_.fail_next) {
    refused = std::exchange(reports_.fail_next, std::nullopt);
  } else if (stream_) {
    refused = TransferError::Stall;
  }
  if (refused) {
    asio::post(simulator_context(),
               [sink = stream->sink_, error = *refused] { sink->on_end(error); });
    stream->sink_.reset();
    return stream;
  }
  stream_ = stream;
  deliver_locked(kReportEndpoint);
  return stream;
}

void Kit::cancel_stream(Stream* target) {
  std::lock_guard lock(mutex_);
  if (stream_.get() != target) return;  // ended already
  // A waiting transfer ends at once; a completed one still reaches the sink, then the end.
  if (!end_waiting_stream_locked(TransferError::Cancelled)) target->cancelled_ = true;
}

bool Kit::end_waiting_stream_locked(TransferError error) {
  if (!stream_ || stream_->phase_ != Stream::Phase::Waiting) return false;
  stream_->phase_ = Stream::Phase::Ending;
  stream_->end_ = error;
  wake_stream_locked();
  return true;
}

void Kit::feed_stream_locked() {
  if (!stream_ || stream_->phase_ != Stream::Phase::Waiting) return;
  Stream& stream = *stream_;
  stream.stamps_.clear();
  bool overflow = false;
  auto buffer = [&](std::size_t size) { return std::span(stream.buffer_).first(size); };
  const auto size = take_report_locked(stream.length_, buffer, stream.stamps_, overflow);
  if (!size) return;
  if (overflow) {
    stream.phase_ = Stream::Phase::Ending;
    stream.end_ = TransferError::Fault;
  } else {
    ++report_transfers_delivered_;
    stream.size_ = *size;
    stream.phase_ = Stream::Phase::Completed;
  }
  wake_stream_locked();
}

void Kit::wake_stream_locked() {
  if (draining_) return;
  draining_ = true;
  asio::post(simulator_context(), [weak = weak_from_this()] {
    if (auto kit = weak.lock()) kit->drain();
  });
}

void Kit::drain() {
  std::unique_lock lock(mutex_);
  while (Stream* stream = stream_.get()) {
    if (stream->phase_ == Stream::Phase::Completed) {
      // The buffer is the sink's until it returns: nothing else writes it while InSink.
      stream->phase_ = Stream::Phase::InSink;
      lock.unlock();
      const std::span transfer = std::span(stream->buffer_).first(stream->size_);
      stamp_transfer(transfer, stream->stamps_);
      stream->sink_->on_transfer(transfer);
      lock.lock();
      if (!stream->cancelled_) {
        // The next transfer is submitted, even when what it meets ends the stream.
        lock.unlock();
        stream->sink_->on_submit();
        lock.lock();
      }
      // What submitting the next transfer would meet.
      std::optional<TransferError> end;
      if (stream->cancelled_) {
        end = TransferError::Cancelled;
      } else if (unplugged_) {
        end = TransferError::Disconnected;
      } else if (reports_.fail_next) {
        end = std::exchange(reports_.fail_next, std::nullopt);
      }
      if (end) {
        stream->phase_ = Stream::Phase::Ending;
        stream->end_ = *end;
      } else {
        stream->phase_ = Stream::Phase::Waiting;
        deliver_locked(kReportEndpoint);
      }
    } else if (stream->phase_ == Stream::Phase::Ending) {
      std::shared_ptr<Stream> ended = std::move(stream_);
      lock.unlock();
      ended->sink_->on_end(ended->end_);
      ended->sink_.reset();  // held until on_end has returned
      lock.lock();
    } else {
      break;  // waiting for data
    }
  }
  draining_ = false;
}

void Kit::end_orphaned_stream(std::shared_ptr<Stream> stream) {
  // A drain in progress holds the kit, so the sink has nothing of the stream's at this point.
  asio::post(simulator_context(), [stream = std::move(stream)] {
    if (stream->phase_ == Stream::Phase::Completed) {
      stamp_transfer(std::span(stream->buffer_).first(stream->size_), stream->stamps_);
      stream->sink_->on_transfer(std::span(stream->buffer_).first(stream->size_));
    }
    const TransferError end =
        stream->phase_ == Stream::Phase::Ending ? stream->end_ : TransferError::Cancelled;
    stream->sink_->on_end(end);
  });
}

}  // namespace sorvel::simulator
