#include "kit.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "sorvel/driver/runtime/fork.hpp"

namespace sorvel::simulator {

namespace {
// A real device completes a submitted OUT transfer after a moment, not at once.
constexpr std::chrono::microseconds kOutCompletionDelay{200};

/// Like a USB event thread: started on first use and left running until the process ends. A
/// forked child starts its own; its parent's kits stay frozen there.
struct SimulatorThread {
  std::once_flag started;
  asio::io_context* io = nullptr;
};

}  // namespace

asio::io_context& simulator_context() {
  auto& simulator = runtime::per_process<SimulatorThread>();
  std::call_once(simulator.started, [&] {
    simulator.io = new asio::io_context(1);
    std::thread([io = simulator.io] {
      auto guard = asio::make_work_guard(*io);
      io->run();
    }).detach();
  });
  return *simulator.io;
}

class Kit::Transfer final : public usb::PendingTransfer {
 public:
  Transfer(std::weak_ptr<Kit> kit, std::uint8_t endpoint, std::size_t length,
           usb::TransferCallback done)
      : kit_(std::move(kit)), endpoint_(endpoint), length_(length), done_(std::move(done)) {}

  void cancel() override {
    if (auto kit = kit_.lock()) kit->cancel(this);
  }

  std::uint8_t endpoint() const { return endpoint_; }
  std::size_t length() const { return length_; }
  usb::TransferCallback take_callback() { return std::move(done_); }

 private:
  std::weak_ptr<Kit> kit_;
  std::uint8_t endpoint_;
  std::size_t length_;
  usb::TransferCallback done_;
};

Kit::Kit(Scenario scenario) : scenario_(std::move(scenario)), receiver_(scenario_) {}

Kit::~Kit() {
  // Every callback runs exactly once: transfers still pending end as a closed device's do.
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Cancelled, {}});
  }
  for (auto& transfer : held_commands_) complete_locked(transfer, {TransferError::Cancelled, {}});
}

bool Kit::present() const {
  std::lock_guard lock(mutex_);
  return scenario_.present && !unplugged_;
}

Expected<void, SystemError> Kit::open() {
  std::lock_guard lock(mutex_);
  if (unplugged_) return unexpected(system_error_from_errno(ENODEV));
  fire_trigger_locked("open", false);
  return {};
}

Expected<void, SystemError> Kit::claim(std::uint8_t number) {
  std::lock_guard lock(mutex_);
  if (unplugged_) return unexpected(system_error_from_errno(ENODEV));
  if (number >= kInterfaceCount) return unexpected(system_error_from_errno(ENOENT));
  if (claimed_[number]) return unexpected(system_error_from_errno(EBUSY));
  claimed_[number] = true;
  history_.push_back("claim " + std::to_string(number));
  return {};
}

void Kit::release(std::uint8_t number) {
  std::lock_guard lock(mutex_);
  if (number >= kInterfaceCount) return;
  claimed_[number] = false;
  history_.push_back("release " + std::to_string(number));
}

Expected<void, SystemError> Kit::select_alternate_setting(std::uint8_t number,
                                                          std::uint8_t setting) {
  std::lock_guard lock(mutex_);
  if (unplugged_) return unexpected(system_error_from_errno(ENODEV));
  if (number >= kInterfaceCount || setting != 0) {
    return unexpected(system_error_from_errno(ENOENT));
  }
  return {};
}

Kit::InEndpoint* Kit::in_endpoint(std::uint8_t endpoint) {
  if (endpoint == kReportEndpoint) return &reports_;
  if (endpoint == kResponseEndpoint) return &responses_;
  return nullptr;
}

std::shared_ptr<usb::PendingTransfer> Kit::submit_in(std::uint8_t endpoint, std::size_t length,
                                                     usb::TransferCallback done) {
  auto transfer = std::make_shared<Transfer>(weak_from_this(), endpoint, length, std::move(done));
  std::lock_guard lock(mutex_);
  InEndpoint* in = in_endpoint(endpoint);
  if (unplugged_ || in == nullptr) {
    complete_locked(transfer,
                    {unplugged_ ? TransferError::Disconnected : TransferError::Stall, {}});
    return transfer;
  }
  if (in->fail_next) {
    complete_locked(transfer, {*std::exchange(in->fail_next, std::nullopt), {}});
    return transfer;
  }
  in->pending.push_back(transfer);
  deliver_locked(endpoint);
  return transfer;
}

std::shared_ptr<usb::PendingTransfer> Kit::submit_out(std::uint8_t endpoint, Bytes bytes,
                                                      usb::TransferCallback done) {
  auto transfer =
      std::make_shared<Transfer>(weak_from_this(), endpoint, bytes.size(), std::move(done));
  std::lock_guard lock(mutex_);
  if (unplugged_ || endpoint != kCommandEndpoint) {
    complete_locked(transfer,
                    {unplugged_ ? TransferError::Disconnected : TransferError::Stall, {}});
    return transfer;
  }
  if (out_fail_next_) {
    complete_locked(transfer, {*std::exchange(out_fail_next_, std::nullopt), {}});
    return transfer;
  }
  commands_.push_back(bytes);
  ++pending_out_;
  auto timer = std::make_shared<asio::steady_timer>(simulator_context(), kOutCompletionDelay);
  timer->async_wait(
      [timer, weak = weak_from_this(), transfer, bytes = std::move(bytes)](std::error_code) {
        auto kit = weak.lock();
        if (!kit) {
          if (auto done = transfer->take_callback()) done({TransferError::Cancelled, {}});
          return;
        }
        std::lock_guard lock(kit->mutex_);
        --kit->pending_out_;
        kit->finish_command_locked(transfer, bytes);
      });
  return transfer;
}

void Kit::finish_command_locked(const std::shared_ptr<Transfer>& transfer, const Bytes& bytes) {
  if (unplugged_) {
    complete_locked(transfer, {TransferError::Disconnected, {}});
    return;
  }
  const auto name = receiver_.on_command(*this, bytes);
  if (name) history_.push_back(*name);
  // Actions in flight act before the command's own transfer ends, and decide how it ends.
  if (name && fire_trigger_locked(*name, true)) {
    if (unplugged_) {
      complete_locked(transfer, {TransferError::Disconnected, {}});
    } else {
      held_commands_.push_back(transfer);
      release_held_commands_locked();
    }
  } else {
    complete_locked(transfer, {});
  }
  if (name) fire_trigger_locked(*name, false);
}

void Kit::release_held_commands_locked() {
  if (!responses_.transfers.empty()) return;
  for (auto& transfer : held_commands_) complete_locked(transfer, {});
  held_commands_.clear();
}

void Kit::cancel(Transfer* target) {
  std::lock_guard lock(mutex_);
  for (auto it = held_commands_.begin(); it != held_commands_.end(); ++it) {
    if (it->get() == target) {
      auto transfer = *it;
      held_commands_.erase(it);
      complete_locked(transfer, {TransferError::Cancelled, {}});
      return;
    }
  }
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto it = in->pending.begin(); it != in->pending.end(); ++it) {
      if (it->get() == target) {
        auto transfer = *it;
        in->pending.erase(it);
        complete_locked(transfer, {TransferError::Cancelled, {}});
        return;
      }
    }
  }
}

void Kit::deliver_locked(std::uint8_t endpoint) {
  InEndpoint* in = in_endpoint(endpoint);
  while (!in->pending.empty()) {
    auto transfer = in->pending.front();
    Bytes data;
    if (!in->transfers.empty()) {
      data = std::move(in->transfers.front());
      in->transfers.pop_front();
    } else if (!in->stream.empty()) {
      const std::size_t n = std::min(transfer->length(), in->stream.size());
      data.assign(in->stream.begin(), in->stream.begin() + static_cast<std::ptrdiff_t>(n));
      in->stream.erase(in->stream.begin(), in->stream.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
      return;  // nothing to deliver: the transfer stays pending, as on real hardware
    }
    in->pending.pop_front();
    if (data.size() > transfer->length()) {
      // A packet longer than the transfer asked for overflows it, as on a real bus.
      complete_locked(transfer, {TransferError::Fault, {}});
      continue;
    }
    if (endpoint == kReportEndpoint) ++report_transfers_delivered_;
    complete_locked(transfer, {std::nullopt, std::move(data)});
  }
  if (endpoint == kResponseEndpoint) release_held_commands_locked();
}

void Kit::complete_locked(const std::shared_ptr<Transfer>& transfer, usb::TransferResult result) {
  asio::post(simulator_context(),
             [done = transfer->take_callback(), result = std::move(result)]() mutable {
               if (done) done(std::move(result));
             });
}

void Kit::queue_response_locked(Bytes transfer) {
  if (unplugged_) return;
  responses_.transfers.push_back(std::move(transfer));
  deliver_locked(kResponseEndpoint);
}

void Kit::queue_report_transfer_locked(Bytes transfer) {
  if (unplugged_) return;
  reports_.transfers.push_back(std::move(transfer));
  deliver_locked(kReportEndpoint);
}

void Kit::queue_report_bytes_locked(const Bytes& bytes) {
  // A receiver nobody reads from drops new reports once its buffer is full.
  constexpr std::size_t kStreamBufferLimit = 256 * 1024;
  if (unplugged_ || reports_.stream.size() + bytes.size() > kStreamBufferLimit) return;
  reports_.stream.insert(reports_.stream.end(), bytes.begin(), bytes.end());
  deliver_locked(kReportEndpoint);
}

void Kit::fail_next_locked(std::uint8_t endpoint, TransferError status) {
  if (endpoint == kCommandEndpoint) {
    out_fail_next_ = status;
    return;
  }
  InEndpoint* in = in_endpoint(endpoint);
  if (in == nullptr) return;
  if (in->pending.empty()) {
    in->fail_next = status;
    return;
  }
  auto transfer = in->pending.front();
  in->pending.pop_front();
  complete_locked(transfer, {status, {}});
}

void Kit::unplug() {
  std::lock_guard lock(mutex_);
  unplug_locked();
}

void Kit::unplug_locked() {
  if (unplugged_) return;
  unplugged_ = true;
  receiver_.stop_streaming();
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Disconnected, {}});
    in->pending.clear();
    in->transfers.clear();
    in->stream.clear();
  }
  for (auto& transfer : held_commands_)
    complete_locked(transfer, {TransferError::Disconnected, {}});
  held_commands_.clear();
}

KitState Kit::state() const {
  std::lock_guard lock(mutex_);
  KitState state;
  state.present = scenario_.present && !unplugged_;
  for (std::uint8_t i = 0; i < kInterfaceCount; ++i) {
    if (claimed_[i]) state.claimed_interfaces.push_back(i);
  }
  state.pending_transfers =
      reports_.pending.size() + responses_.pending.size() + pending_out_ + held_commands_.size();
  state.commands = commands_;
  state.streaming = receiver_.streaming();
  state.pending_report_reads = reports_.pending.size();
  state.report_backlog = reports_.stream.size() + reports_.transfers.size();
  state.history = history_;
  state.report_transfers_delivered = report_transfers_delivered_;
  return state;
}

void Kit::schedule(std::chrono::microseconds delay, std::function<void(Kit&)> work) {
  auto timer = std::make_shared<asio::steady_timer>(simulator_context(), delay);
  timer->async_wait([timer, weak = weak_from_this(), work = std::move(work)](std::error_code) {
    auto kit = weak.lock();
    if (!kit) return;
    std::lock_guard lock(kit->mutex_);
    work(*kit);
  });
}

bool Kit::fire_trigger_locked(std::string_view trigger, bool in_flight) {
  bool fired = false;
  for (const ScriptAction& action : scenario_.script) {
    if (action.on != trigger || action.in_flight != in_flight) continue;
    fired = true;
    auto fire = [action](Kit& kit) {
      if (action.response) kit.queue_response_locked(*action.response);
      for (const Bytes& transfer : action.report_transfers) {
        kit.queue_report_transfer_locked(transfer);
      }
      if (action.fail) kit.fail_next_locked(action.fail->endpoint, action.fail->status);
      if (action.unplug) kit.unplug_locked();
    };
    // Without a delay the action takes effect before anything else reaches the kit, so a
    // scripted fault hits the very next transfer.
    if (action.delay_ms == 0 || in_flight) {
      fire(*this);
    } else {
      schedule(std::chrono::milliseconds(action.delay_ms), fire);
    }
  }
  return fired;
}

}  // namespace sorvel::simulator
