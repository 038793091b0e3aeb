#include "sorvel/driver/driver.hpp"

#include <chrono>

#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/usb/capture.hpp"

namespace sorvel {

namespace {
constexpr std::chrono::milliseconds kReleaseWait{1000};
}  // namespace

std::string_view status_text(ConnectionStatus status) {
  switch (status) {
    case ConnectionStatus::NotConnected:
      return "not connected";
    case ConnectionStatus::Connected:
      return "connected";
    case ConnectionStatus::ReportingData:
      return "reporting data";
  }
  return {};
}

std::string_view message(PollFailure failure) {
  switch (failure) {
    case PollFailure::NotConnected:
      return "Device not connected.";
    case PollFailure::NotStarted:
      return "Device not started.";
    case PollFailure::NoData:
      return "Error polling the last frame";
  }
  return {};
}

Expected<std::shared_ptr<usb::Device>, OpenFailure> open_receiver(usb::Backend& backend) {
  // A receiver let go of on a runtime thread a moment ago is free again within milliseconds;
  // one that is not by then is reported as whatever the open finds.
  if (!runtime::on_runtime_thread()) (void)UsbSession::wait_for_releases(kReleaseWait);
  auto devices = backend.list_devices();
  if (!devices) return unexpected(OpenFailure(devices.error()));
  usb::DeviceEntry* receiver = usb::find_receiver(*devices);
  if (receiver == nullptr) return unexpected(OpenFailure(ReceiverNotFound{}));
  auto capture = usb::requested_capture();
  if (!capture) return unexpected(OpenFailure(std::move(capture).error()));
  auto device = receiver->open();
  if (!device) return unexpected(OpenFailure(device.error()));
  if (!*capture) return std::move(*device);
  return usb::capture_device(std::move(*device), std::move(*capture));
}

asio::awaitable<DriverResult<std::shared_ptr<Driver>>> Driver::open(
    std::shared_ptr<usb::Device> device, HostTimeouts timeouts) {
  auto host = co_await Host::open(std::move(device), default_event_handler(), timeouts);
  if (!host) co_return unexpected(std::move(host).error());
  co_return std::shared_ptr<Driver>(new Driver(std::move(*host)));
}

asio::awaitable<DriverResult<void>> Driver::connect(std::vector<BodyPart> group) {
  auto self = shared_from_this();  // the pairing may outlive the caller's handle
  auto set = co_await host_->pair(std::move(group));
  if (!set) co_return unexpected(std::move(set).error());
  // One lock after the other, never both: a poll holds them together in this order.
  {
    auto status = co_await status_.lock();
    *status = ConnectionStatus::Connected;
  }
  auto connection = co_await connection_.write();
  *connection = std::move(*set);
  co_return DriverResult<void>{};
}

asio::awaitable<DriverResult<void>> Driver::start() {
  auto self = shared_from_this();
  if (auto started = co_await host_->start(); !started) co_return started;
  auto status = co_await status_.lock();
  *status = ConnectionStatus::ReportingData;
  co_return DriverResult<void>{};
}

Expected<ConnectionStatus, runtime::InternalError> Driver::status() {
  auto status = status_.lock_blocking();
  if (!status) return unexpected(std::move(status).error());
  return **status;
}

Expected<Expected<PollResult, PollFailure>, runtime::InternalError> Driver::poll() {
  using Outcome = Expected<PollResult, PollFailure>;
  auto status = status_.lock_blocking();
  if (!status) return unexpected(std::move(status).error());
  auto connection = connection_.read_blocking();
  if (!connection) return unexpected(std::move(connection).error());
  switch (**status) {
    case ConnectionStatus::NotConnected:
      return Outcome(unexpected(PollFailure::NotConnected));
    case ConnectionStatus::Connected:
      return Outcome(unexpected(PollFailure::NotStarted));
    case ConnectionStatus::ReportingData:
      break;
  }
  // connect writes the status before it stores the set, so a start finishing in between can
  // leave ReportingData with no set yet: that first pairing is not in place.
  if (!(*connection)->has_value()) return Outcome(unexpected(PollFailure::NotConnected));
  auto frames = (*connection)->value().poll();
  if (!frames) return Outcome(unexpected(PollFailure::NoData));
  return Outcome(std::move(*frames));
}

}  // namespace sorvel
