#include "readers.hpp"

#include <optional>

#include "sorvel/driver/host/report_router.hpp"
#include "sorvel/driver/usb/async_transfer.hpp"
#include "sorvel/log/log.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel::detail {

namespace {

namespace rsp = protocol::response;
using log::kUsbTarget;

constexpr std::string_view kReportFailure = "error receiving usb data: ";

/// A failed read ends the reader. The first reader to see the link fail reports the loss once,
/// and ends the frame streams after the frames already published; a deliberate close ends it
/// quietly.
void on_read_failure(const LinkState& link, TransferError failure, std::string_view what) {
  if (link.closing->load()) return;
  const DriverError error = DriverError::serial_transfer(failure);
  log::error(kUsbTarget, "{}{}", what, error);
  bool connected = true;
  if (link.receiver_connected->compare_exchange_strong(connected, false)) {
    (*link.handler)(event::ReceiverLost{error});
    link.frames->end(FrameStreamEnd::ReceiverLost);
  }
}

void dispatch(const protocol::Response& response, ResponseSender& responses,
              const LinkState& link) {
  if (const auto* r = std::get_if<rsp::TrackerReconnected>(&response.as_variant())) {
    (*link.handler)(event::TrackerRestored{r->part});
  } else if (const auto* c = std::get_if<rsp::ConnectionLost>(&response.as_variant())) {
    (*link.handler)(event::TrackerLost{c->part});
  } else if (const auto* b = std::get_if<rsp::TrackerBiasUpdated>(&response.as_variant())) {
    (*link.handler)(event::BiasChanged{b->part, b->value});
  } else if (auto sent = responses.send(response); !sent) {
    log::info(kUsbTarget, "error sending to response channel: {}", sent.error());
  }
}

}  // namespace

asio::awaitable<void> read_responses(std::shared_ptr<usb::Interface> interface,
                                     ResponseSender responses, LinkState link) {
  constexpr std::string_view kFailure = "error receiving usb response: ";
  log::info(kUsbTarget, "USB read response thread spawned.");
  try {
    for (;;) {
      const usb::TransferResult result =
          co_await usb::transfer_in(*interface, kResponseEndpoint, kResponseTransferLength);
      if (!result.ok()) {
        on_read_failure(link, *result.error, kFailure);
        break;
      }
      auto response = protocol::decode_response(result.data);
      if (!response) {
        log::error(kUsbTarget, "{}{}", kFailure, DriverError::report(response.error()));
        continue;
      }
      dispatch(*response, responses, link);
    }
  } catch (const std::system_error&) {
    // Cancelled while closing: the stop line below still belongs to the log.
  }
  log::info(kUsbTarget, "USB read response thread stopped.");
  responses.close();
}

asio::awaitable<void> read_reports(std::shared_ptr<usb::Interface> interface,
                                   std::shared_ptr<RoutingTable> routing, LinkState link) {
  log::info(kUsbTarget, "USB read report thread spawned.");
  try {
    // Frames are decoded and routed where each transfer completes; this task only waits for the
    // stream to end, and its cancellation cancels the stream.
    const usb::TransferResult end = co_await usb::read_stream_until_end(
        *interface, kReportEndpoint, kReportTransferLength,
        std::make_shared<ReportRouter>(std::move(routing), link.frames));
    on_read_failure(link, *end.error, kReportFailure);
  } catch (const std::system_error&) {
    // Cancelled while closing, before the stream was started.
  }
  log::info(kUsbTarget, "USB read report thread stopped.");
}

}  // namespace sorvel::detail

namespace sorvel {

void ReportRouter::on_transfer(std::span<const std::uint8_t> data) {
  // The transfer has just completed: its time is now, whichever report it ends. The batch
  // gathers the frames on the stack and takes the streams' lock only to publish them, so the
  // decoding, routing and logging below never hold up a consumer that subscribes or closes.
  std::optional<FrameStreams::Batch> batch;
  if (frames_ && frames_->has_subscribers()) batch.emplace(*frames_, platform::monotonic_ns());
  stream_.feed(data, [&](const protocol::ReportStream::Item& item) {
    if (!item) {
      log::error(log::kUsbTarget, "{}{}", detail::kReportFailure,
                 DriverError::report(item.error()));
      return;
    }
    for (const auto& sample : item->samples) {
      const TrackerFrame frame = protocol::to_frame(sample);
      if (routing_->route(item->body_part, frame) && batch) batch->add(frame);
    }
  });
}

}  // namespace sorvel
