#include "sorvel/driver/host/usb_session.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "readers.hpp"
#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/usb/async_transfer.hpp"
#include "sorvel/log/log.hpp"

namespace sorvel {

UsbSession::UsbSession(std::shared_ptr<usb::Device> device,
                       std::shared_ptr<usb::Interface> commands,
                       std::shared_ptr<usb::Interface> auxiliary, LinkState link)
    : device_(std::move(device)),
      commands_(std::move(commands)),
      auxiliary_(std::move(auxiliary)),
      link_(std::move(link)),
      responses_(runtime::kBroadcastCapacity),
      first_receiver_(responses_.subscribe()) {}

DriverResult<std::unique_ptr<UsbSession>> UsbSession::open(std::shared_ptr<usb::Device> device,
                                                           LinkState link) {
  auto commands = device->claim_interface(kCommandInterface);
  if (!commands) return unexpected(DriverError::serial_port(commands.error()));
  auto auxiliary = device->claim_interface(kAuxiliaryInterface);
  if (!auxiliary) return unexpected(DriverError::serial_port(auxiliary.error()));
  std::unique_ptr<UsbSession> session(
      new UsbSession(std::move(device), *commands, *auxiliary, std::move(link)));
  session->response_reader_.emplace(runtime::spawn(
      detail::read_responses(session->commands_, session->responses_, session->link_)));
  return session;
}

DriverResult<void> UsbSession::start_report_reader(std::shared_ptr<RoutingTable> routing) {
  auto reports = device_->claim_interface(kReportInterface);
  if (!reports) return unexpected(DriverError::serial_port(reports.error()));
  if (auto selected = reports.value()->select_alternate_setting(0); !selected) {
    return unexpected(DriverError::serial_port(selected.error()));
  }
  report_reader_.emplace(
      runtime::spawn(detail::read_reports(std::move(*reports), std::move(routing), link_)));
  return {};
}

asio::awaitable<DriverResult<void>> UsbSession::send_command(protocol::Command command) {
  const auto transfer = protocol::command_transfer(command);
  log::trace(log::kUsbTarget, "sending usb command {}", command);
  const usb::TransferResult result = co_await usb::transfer_out(
      *commands_, kCommandEndpoint, std::vector<std::uint8_t>(transfer.begin(), transfer.end()));
  if (!result.ok()) co_return unexpected(DriverError::serial_transfer(*result.error));
  co_return DriverResult<void>{};
}

ResponseReceiver UsbSession::take_first_receiver() {
  ResponseReceiver receiver = std::move(*first_receiver_);
  first_receiver_.reset();
  return receiver;
}

namespace {

/// Sessions whose readers are still ending after their session was dropped on a runtime thread:
/// until they have, their receiver is not free.
class ReleasesUnderWay {
 public:
  /// One per process: a forked child has none of its parent's sessions, ending or not.
  static ReleasesUnderWay& instance() { return runtime::per_process<ReleasesUnderWay>(); }

  void begin() {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  void end() {
    {
      std::lock_guard lock(mutex_);
      --count_;
    }
    ended_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, limit, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  int count_ = 0;
};

/// Ends one release under way when the readers have ended (or the task holding it is dropped).
struct ReleaseTicket {
  ReleaseTicket() { ReleasesUnderWay::instance().begin(); }
  ReleaseTicket(const ReleaseTicket&) = delete;
  ReleaseTicket& operator=(const ReleaseTicket&) = delete;
  ~ReleaseTicket() { ReleasesUnderWay::instance().end(); }
};

/// The ticket ends the release when this frame goes, whichever way it ends.
asio::awaitable<void> finish_release([[maybe_unused]] std::shared_ptr<ReleaseTicket> ticket,
                                     std::optional<runtime::Task<void>> responses,
                                     std::optional<runtime::Task<void>> reports) {
  for (auto* reader : {&responses, &reports}) {
    if (*reader) (void)co_await (*reader)->join();
  }
}

}  // namespace

bool UsbSession::wait_for_releases(std::chrono::milliseconds limit) {
  return ReleasesUnderWay::instance().wait(limit);
}

void UsbSession::stop_readers() {
  link_.closing->store(true);
  link_.receiver_connected->store(false);
  for (auto* reader : {&response_reader_, &report_reader_}) {
    if (*reader) (*reader)->cancel();
  }
}

asio::awaitable<void> UsbSession::close() {
  stop_readers();
  for (auto* reader : {&response_reader_, &report_reader_}) {
    if (*reader) (void)co_await (*reader)->join();
    reader->reset();
  }
}

UsbSession::~UsbSession() {
  stop_readers();
  // The readers hold their interfaces until they end; wait so that the receiver is free again
  // when this returns. A runtime thread cannot park: there the end is awaited by a task, and
  // the next open waits for it.
  if (!runtime::on_runtime_thread()) {
    for (auto* reader : {&response_reader_, &report_reader_}) {
      if (*reader) (void)(*reader)->wait();
    }
    return;
  }
  if (!response_reader_ && !report_reader_) return;  // closed already
  auto ticket = std::make_shared<ReleaseTicket>();
  (void)runtime::spawn(
      finish_release(std::move(ticket), std::move(response_reader_), std::move(report_reader_)));
}

}  // namespace sorvel
