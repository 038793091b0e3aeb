#pragma once
// The state of the kit's report stream (Kit::read_reports) as it moves through its phases.

#include <cstdint>
#include <memory>
#include <vector>

#include "kit.hpp"

namespace sorvel::simulator {

/// The report stream's state lives under the kit's lock, except what the phase hands to the
/// simulator's thread: the buffer and stamps of a completed transfer, and the sink.
class Kit::Stream final : public usb::PendingTransfer {
 public:
  enum class Phase : std::uint8_t {
    Waiting,    ///< a transfer is submitted and waits for data
    Completed,  ///< `buffer` holds a completed transfer, not yet handed to the sink
    InSink,     ///< the sink has the transfer; the next is submitted once it returns
    Ending,     ///< `end` is what the sink hears next, and last
  };

  Stream(std::weak_ptr<Kit> kit, std::size_t length, std::shared_ptr<usb::StreamSink> sink)
      : kit_(std::move(kit)), length_(length), sink_(std::move(sink)) {
    buffer_.resize(length_);
  }

  void cancel() override {
    if (auto kit = kit_.lock()) kit->cancel_stream(this);
  }

 private:
  friend class Kit;

  std::weak_ptr<Kit> kit_;
  const std::size_t length_;
  std::shared_ptr<usb::StreamSink> sink_;
  Bytes buffer_;
  std::size_t size_ = 0;
  std::vector<std::uint32_t> stamps_;
  Phase phase_ = Phase::Waiting;
  bool cancelled_ = false;  ///< asked while the sink had a transfer: it ends after that one
  TransferError end_ = TransferError::Cancelled;
};

}  // namespace sorvel::simulator
