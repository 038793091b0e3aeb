#pragma once
// The report reader's end of the 0x81 stream: each transfer's bytes are decoded and routed on the
// thread that completed the transfer, without a hop to the runtime and without an allocation.

#include <cstdint>
#include <memory>
#include <span>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/report_stream.hpp"
#include "sorvel/trackers/frame_stream.hpp"
#include "sorvel/trackers/routing_table.hpp"

namespace sorvel {

/// Feeds the report stream parser and routes the four frames of every decoded report through
/// `routing`; a report that does not decode is logged ("error receiving usb data: ...") and
/// reading goes on. Every frame a paired tracker takes also goes to `frames`' subscribers, with
/// the time its transfer completed (one time per transfer, taken only while someone listens),
/// published once the transfer is decoded: the streams' lock is never held while decoding,
/// routing or logging.
/// The stream's end is left to whoever awaits it (`usb::async_read_stream`).
/// Thread safety: the stream calls it one call at a time, as `usb::StreamSink` promises.
class ReportRouter final : public usb::StreamSink {
 public:
  explicit ReportRouter(std::shared_ptr<RoutingTable> routing,
                        std::shared_ptr<FrameStreams> frames = nullptr)
      : routing_(std::move(routing)), frames_(std::move(frames)) {}

  void on_transfer(std::span<const std::uint8_t> data) override;
  void on_end(TransferError /*error*/) override {}

 private:
  protocol::ReportStream stream_;
  std::shared_ptr<RoutingTable> routing_;
  std::shared_ptr<FrameStreams> frames_;  ///< may be null
};

}  // namespace sorvel
