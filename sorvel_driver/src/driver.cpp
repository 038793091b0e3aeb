#include "sorvel/driver/driver.hpp"

#include <chrono>
#include <string>
#include <utility>

#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/usb/capture.hpp"

namespace sorvel {

namespace {
constexpr std::chrono::milliseconds kReleaseWait{1000};

std::vector<BodyPart> body_parts_of(const TrackerSet& set) {
  std::vector<BodyPart> parts;
  parts.reserve(set.handles().size());
  for (const auto& [address, handle] : set.handles()) parts.push_back(handle.body_part);
  return parts;
}
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
  auto lost = std::make_shared<LostTrackers>();
  // Events are still logged, after the lost trackers are brought up to date: whoever reads the
  // line finds them so.
  auto handler = std::make_shared<const EventHandler>(
      [lost, logged = default_event_handler()](const HostEvent& event) {
        lost->on_event(event);
        (*logged)(event);
      });
  auto host = co_await Host::open(std::move(device), std::move(handler), timeouts);
  if (!host) co_return unexpected(std::move(host).error());
  co_return std::shared_ptr<Driver>(new Driver(std::move(*host), std::move(lost)));
}

asio::awaitable<DriverResult<void>> Driver::connect(std::vector<BodyPart> group) {
  auto self = shared_from_this();  // the pairing may outlive the caller's handle
  lost_->begin_pairing();
  auto set = co_await host_->pair(std::move(group));
  if (!set) co_return unexpected(std::move(set).error());
  lost_->pairing_succeeded(body_parts_of(*set));
  publish_status(ConnectionStatus::Connected);
  publish_set(std::move(*set));
  co_return DriverResult<void>{};
}

asio::awaitable<DriverResult<void>> Driver::start() {
  auto self = shared_from_this();
  if (auto started = co_await host_->start(); !started) co_return started;
  publish_status(ConnectionStatus::ReportingData);
  co_return DriverResult<void>{};
}

void Driver::publish_status(ConnectionStatus status) {
  std::lock_guard lock(state_mutex_);
  const std::uint64_t state = state_.load(std::memory_order_relaxed);
  state_.store((state & ~kStatusMask) | static_cast<std::uint64_t>(status),
               std::memory_order_release);
}

void Driver::publish_set(TrackerSet set) {
  auto published = std::make_shared<const TrackerSet>(std::move(set));
  std::lock_guard lock(state_mutex_);
  set_.swap(published);
  // The new generation goes out with the set: a poller whose cache is of an older one refreshes.
  const std::uint64_t state = state_.load(std::memory_order_relaxed);
  state_.store(state + (std::uint64_t{1} << kStatusBits), std::memory_order_release);
  // `published` now holds the old set; pollers still holding it release it as they refresh.
}

Expected<ConnectionStatus, runtime::InternalError> Driver::snapshot(PollCache& cache) {
  if (runtime::on_runtime_thread()) {
    return unexpected(runtime::InternalError{std::string(runtime::kBlockingInRuntimeMessage)});
  }
  std::uint64_t state = state_.load(std::memory_order_acquire);
  if (state >> kStatusBits != cache.generation_) {
    std::lock_guard lock(state_mutex_);
    state = state_.load(std::memory_order_relaxed);
    cache.set_ = set_;
    cache.generation_ = state >> kStatusBits;
  }
  return static_cast<ConnectionStatus>(state & kStatusMask);
}

Expected<ConnectionStatus, runtime::InternalError> Driver::status() {
  if (runtime::on_runtime_thread()) {
    return unexpected(runtime::InternalError{std::string(runtime::kBlockingInRuntimeMessage)});
  }
  return static_cast<ConnectionStatus>(state_.load(std::memory_order_acquire) & kStatusMask);
}

Expected<Expected<PollResult, PollFailure>, runtime::InternalError> Driver::poll() {
  using Outcome = Expected<PollResult, PollFailure>;
  PollCache cache;
  PollResult frames;
  auto add = [&](const TrackerFrame& frame, bool fresh) {
    if (frames.empty()) frames.reserve(cache.set_->entries().size());
    frames.emplace_back(frame, fresh);
  };
  FrameVisitor visitor(add);
  auto polled = poll_each(cache, visitor);
  if (!polled) return unexpected(std::move(polled).error());
  if (!*polled) return Outcome(unexpected(polled->error()));
  return Outcome(std::move(frames));
}

}  // namespace sorvel
