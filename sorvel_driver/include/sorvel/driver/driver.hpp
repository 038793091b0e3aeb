#pragma once
// One opened receiver as a program uses it: the host plus the status and connection cells.
// The Python binding is a thin layer over this.

#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "sorvel/driver/host/host.hpp"
#include "sorvel/driver/runtime/async_mutex.hpp"
#include "sorvel/driver/runtime/async_rwlock.hpp"
#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/usb/capture.hpp"

namespace sorvel {

enum class ConnectionStatus : std::uint8_t { NotConnected, Connected, ReportingData };

/// "not connected", "connected", "reporting data".
std::string_view status_text(ConnectionStatus status);

/// Why a poll has no frames; the texts are what Python users see.
enum class PollFailure : std::uint8_t { NotConnected, NotStarted, NoData };
std::string_view message(PollFailure failure);

/// Why no receiver could be opened.
struct ReceiverNotFound {};
using OpenFailure = std::variant<ReceiverNotFound, SystemError, usb::CaptureError>;

/// Lists `backend`'s devices and opens the first receiver, recording its transfers when
/// SORVEL_CAPTURE names a file. A capture asked for that cannot be made fails the open before
/// the receiver is touched.
Expected<std::shared_ptr<usb::Device>, OpenFailure> open_receiver(usb::Backend& backend);

/// Thread safety: shared by handle; `connect` and `start` run on the runtime and keep their own
/// handle, so they may outlive the caller's. `status` and `poll` block the calling thread and are
/// refused on runtime threads.
class Driver : public std::enable_shared_from_this<Driver> {
 public:
  static asio::awaitable<DriverResult<std::shared_ptr<Driver>>> open(
      std::shared_ptr<usb::Device> device, HostTimeouts timeouts = {});

  /// Pairs `group`; on success the status becomes Connected and the new tracker set replaces the
  /// old one. A failure changes neither.
  asio::awaitable<DriverResult<void>> connect(std::vector<BodyPart> group);
  /// Starts the stream; on success the status becomes ReportingData.
  asio::awaitable<DriverResult<void>> start();

  Expected<ConnectionStatus, runtime::InternalError> status();
  /// One frame per paired tracker in address order (fresh or repeated), or why there is none.
  Expected<Expected<PollResult, PollFailure>, runtime::InternalError> poll();

  const std::shared_ptr<Host>& host() const { return host_; }

 private:
  explicit Driver(std::shared_ptr<Host> host) : host_(std::move(host)) {}

  std::shared_ptr<Host> host_;
  runtime::AsyncMutex<ConnectionStatus> status_{ConnectionStatus::NotConnected};
  runtime::AsyncRwLock<std::optional<TrackerSet>> connection_;
};

}  // namespace sorvel
