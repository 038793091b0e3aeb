#pragma once
// The two reader loops of a USB session. Each runs as a task until its first failed transfer.

#include <memory>

#include <asio/awaitable.hpp>

#include "sorvel/driver/host/usb_session.hpp"

namespace sorvel::detail {

/// Reads responses from 0x82: tracker-status responses become events, the rest are published.
/// Closes the broadcast when it stops, so that waits under way end at once.
asio::awaitable<void> read_responses(std::shared_ptr<usb::Interface> interface,
                                     ResponseSender responses, LinkState link);

/// Reads the report stream from 0x81 and routes every decoded frame.
asio::awaitable<void> read_reports(std::shared_ptr<usb::Interface> interface,
                                   std::shared_ptr<RoutingTable> routing, LinkState link);

}  // namespace sorvel::detail
