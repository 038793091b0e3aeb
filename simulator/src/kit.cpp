#include "kit.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "kit_report_stream.hpp"

namespace sorvel::simulator {

namespace {
// A real device completes a submitted OUT transfer after a moment, not at once.
constexpr std::chrono::microseconds kOutCompletionDelay{200};
}  // namespace

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

Kit::Kit(Scenario scenario)
    : scenario_(std::move(scenario)),
      receiver_(make_receiver(scenario_)),
      pacer_(scenario_.stamp_completion),
      timer_(simulator_context()) {}

Kit::~Kit() {
  // Every callback runs exactly once: transfers still pending end as a closed device's do.
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Cancelled, {}});
  }
  for (auto& transfer : held_commands_) complete_locked(transfer, {TransferError::Cancelled, {}});
  if (stream_) end_orphaned_stream(std::move(stream_));
}

bool Kit::present() const {
  std::lock_guard lock(mutex_);
  return scenario_.present && !unplugged_;
}

Expected<void, SystemError> Kit::open() {
  std::lock_guard lock(mutex_);
  if (unplugged_) return unexpected(system_error_from_errno(ENODEV));
  receiver_->on_open(*this);
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
  receiver_->on_command(*this, bytes, [&](bool hold) { end_command_locked(transfer, hold); });
}

void Kit::end_command_locked(const std::shared_ptr<Transfer>& transfer, bool hold) {
  if (!hold) {
    complete_locked(transfer, {});
  } else if (unplugged_) {
    complete_locked(transfer, {TransferError::Disconnected, {}});
  } else {
    held_commands_.push_back(transfer);
    release_held_commands_locked();
  }
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
  deliver_pending_locked(endpoint);
  unplug_if_sent_locked();
}

void Kit::deliver_pending_locked(std::uint8_t endpoint) {
  InEndpoint* in = in_endpoint(endpoint);
  while (!in->pending.empty()) {
    auto transfer = in->pending.front();
    Bytes data;
    std::vector<std::uint32_t> stamps;
    bool overflow = false;
    if (endpoint == kReportEndpoint) {
      auto buffer = [&](std::size_t size) {
        data.resize(size);
        return std::span(data);
      };
      if (!take_report_locked(transfer->length(), buffer, stamps, overflow)) return;
    } else if (!in->transfers.empty()) {
      data = std::move(in->transfers.front());
      in->transfers.pop_front();
      overflow = data.size() > transfer->length();
    } else {
      return;  // nothing to deliver: the transfer stays pending, as on real hardware
    }
    in->pending.pop_front();
    if (overflow) {
      // A packet longer than the transfer asked for overflows it, as on a real bus.
      complete_locked(transfer, {TransferError::Fault, {}});
      continue;
    }
    if (endpoint == kReportEndpoint) ++report_transfers_delivered_;
    complete_locked(transfer, {std::nullopt, std::move(data)}, std::move(stamps));
  }
  if (endpoint == kResponseEndpoint) {
    release_held_commands_locked();
    return;
  }
  feed_stream_locked();
}

void Kit::complete_locked(const std::shared_ptr<Transfer>& transfer, usb::TransferResult result,
                          std::vector<std::uint32_t> stamps) {
  asio::post(simulator_context(), [done = transfer->take_callback(), result = std::move(result),
                                   stamps = std::move(stamps)]() mutable {
    stamp_transfer(result.data, stamps);
    if (done) done(std::move(result));
  });
}

void Kit::queue_response_locked(Bytes transfer) {
  if (unplugged_) return;
  responses_.transfers.push_back(std::move(transfer));
  deliver_locked(kResponseEndpoint);
}

void Kit::queue_report_transfers_locked(const TransferList& transfers,
                                        std::chrono::microseconds interval,
                                        std::span<const std::chrono::microseconds> times) {
  if (unplugged_ || transfers.empty()) return;
  if (pacer_.queue_scripted(transfers, interval, times, Clock::now())) pace_locked();
  deliver_locked(kReportEndpoint);
}

void Kit::queue_report_locked(const protocol::SensorReport& report) {
  if (unplugged_) return;
  if (!pacer_.queue_generated(report)) ++reports_dropped_;
  deliver_locked(kReportEndpoint);
}

void Kit::fail_next_locked(std::uint8_t endpoint, TransferError status) {
  if (endpoint == kCommandEndpoint) {
    out_fail_next_ = status;
    return;
  }
  InEndpoint* in = in_endpoint(endpoint);
  if (in == nullptr) return;
  if (!in->pending.empty()) {
    auto transfer = in->pending.front();
    in->pending.pop_front();
    complete_locked(transfer, {status, {}});
    return;
  }
  if (endpoint == kReportEndpoint && end_waiting_stream_locked(status)) return;
  in->fail_next = status;
}

void Kit::unplug() {
  std::lock_guard lock(mutex_);
  unplug_locked();
}

void Kit::unplug_locked() {
  if (unplugged_) return;
  unplugged_ = true;
  receiver_->on_unplug();
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Disconnected, {}});
    in->pending.clear();
    in->transfers.clear();
  }
  pacer_.clear();
  end_waiting_stream_locked(TransferError::Disconnected);
  for (auto& transfer : held_commands_)
    complete_locked(transfer, {TransferError::Disconnected, {}});
  held_commands_.clear();
}

void Kit::unplug_once_sent_locked() {
  unplug_when_sent_ = true;
  unplug_if_sent_locked();
}

void Kit::unplug_if_sent_locked() {
  if (unplug_when_sent_ && responses_.transfers.empty() && pacer_.scripted_empty()) {
    unplug_locked();
  }
}

KitState Kit::state() const {
  std::lock_guard lock(mutex_);
  KitState state;
  state.present = scenario_.present && !unplugged_;
  for (std::uint8_t i = 0; i < kInterfaceCount; ++i) {
    if (claimed_[i]) state.claimed_interfaces.push_back(i);
  }
  // A stream counts as the one transfer it has submitted, while that one waits.
  const std::size_t stream_waiting = stream_ && stream_->phase_ == Stream::Phase::Waiting ? 1 : 0;
  state.pending_transfers = reports_.pending.size() + stream_waiting + responses_.pending.size() +
                            pending_out_ + held_commands_.size();
  state.commands = commands_;
  state.streaming = receiver_->streaming();
  state.pending_report_reads = reports_.pending.size() + stream_waiting;
  state.report_backlog = pacer_.backlog();
  state.history = history_;
  state.report_transfers_delivered = report_transfers_delivered_;
  state.reports_dropped = reports_dropped_;
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

void Kit::pace_locked() {
  std::optional<Clock::time_point> due = receiver_->next_report_due();
  if (const auto release = pacer_.next_release(); release && (!due || *release < *due)) {
    due = release;
  }
  if (!due || due == timer_due_) return;  // a stale wake finds nothing due and does nothing
  timer_due_ = due;
  timer_.expires_at(*due);  // cancels the wait for an earlier plan
  timer_.async_wait([weak = weak_from_this(), generation = ++timer_generation_](std::error_code) {
    if (auto kit = weak.lock()) kit->on_timer(generation);
  });
}

void Kit::on_timer(std::uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (generation != timer_generation_) return;  // re-armed since: that wait is the one to serve
  timer_due_.reset();
  const auto now = Clock::now();
  if (const auto due = receiver_->next_report_due(); due && *due <= now) {
    receiver_->make_reports(*this);
  }
  if (pacer_.release_due(now)) deliver_locked(kReportEndpoint);
  pace_locked();
}

}  // namespace sorvel::simulator
