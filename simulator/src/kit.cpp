#include "kit.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "command_names.hpp"
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

Kit::Kit(Scenario scenario)
    : scenario_(std::move(scenario)),
      receiver_(scenario_),
      generated_(scenario_.stamp_completion),
      timer_(simulator_context()) {}

Kit::~Kit() {
  // Every callback runs exactly once: transfers still pending end as a closed device's do.
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Cancelled, {}});
  }
  for (auto& transfer : held_commands_) complete_locked(transfer, {TransferError::Cancelled, {}});
  // A drain in progress holds the kit, so the sink has nothing of the stream's at this point.
  if (stream_) {
    asio::post(simulator_context(), [stream = std::move(stream_)] {
      if (stream->phase_ == Stream::Phase::Completed) {
        stamp_transfer(std::span(stream->buffer_).first(stream->size_), stream->stamps_);
        stream->sink_->on_transfer(std::span(stream->buffer_).first(stream->size_));
      }
      const TransferError end =
          stream->phase_ == Stream::Phase::Ending ? stream->end_ : TransferError::Cancelled;
      stream->sink_->on_end(end);
    });
  }
}

bool Kit::present() const {
  std::lock_guard lock(mutex_);
  return scenario_.present && !unplugged_;
}

Expected<void, SystemError> Kit::open() {
  std::lock_guard lock(mutex_);
  if (unplugged_) return unexpected(system_error_from_errno(ENODEV));
  if (scenario_.replay) {
    replay_locked(scenario_.replay->on_open);
  } else {
    fire_trigger_locked("open", false);
  }
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

std::shared_ptr<usb::PendingTransfer> Kit::read_reports(std::size_t length,
                                                        std::shared_ptr<usb::StreamSink> sink) {
  auto stream = std::make_shared<Stream>(weak_from_this(), length, std::move(sink));
  stream->sink_->on_submit();
  std::lock_guard lock(mutex_);
  std::optional<TransferError> refused;
  if (unplugged_) {
    refused = TransferError::Disconnected;
  } else if (reports_.fail_next) {
    refused = std::exchange(reports_.fail_next, std::nullopt);
  } else if (stream_) {
    refused = TransferError::Stall;
  }
  if (refused) {
    asio::post(simulator_context(),
               [sink = stream->sink_, error = *refused] { sink->on_end(error); });
    stream->sink_.reset();
    return stream;
  }
  stream_ = stream;
  deliver_locked(kReportEndpoint);
  return stream;
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
  if (scenario_.replay) {
    if (auto command = protocol::decode_command(bytes)) {
      history_.emplace_back(command_name(*command));
    }
    // The n-th time a command comes it gets what followed its n-th time in the recording; past
    // those, what followed the last. A command never recorded gets nothing.
    if (auto recorded = scenario_.replay->by_command.find(bytes);
        recorded != scenario_.replay->by_command.end()) {
      const std::size_t n = replayed_commands_[&recorded->second]++;
      replay_locked(recorded->second[std::min(n, recorded->second.size() - 1)]);
    }
    complete_locked(transfer, {});
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

void Kit::cancel_stream(Stream* target) {
  std::lock_guard lock(mutex_);
  if (stream_.get() != target) return;  // ended already
  // A waiting transfer ends at once; a completed one still reaches the sink, then the end.
  if (!end_waiting_stream_locked(TransferError::Cancelled)) target->cancelled_ = true;
}

bool Kit::end_waiting_stream_locked(TransferError error) {
  if (!stream_ || stream_->phase_ != Stream::Phase::Waiting) return false;
  stream_->phase_ = Stream::Phase::Ending;
  stream_->end_ = error;
  wake_stream_locked();
  return true;
}

void Kit::wake_stream_locked() {
  if (draining_) return;
  draining_ = true;
  asio::post(simulator_context(), [weak = weak_from_this()] {
    if (auto kit = weak.lock()) kit->drain();
  });
}

void Kit::drain() {
  std::unique_lock lock(mutex_);
  while (Stream* stream = stream_.get()) {
    if (stream->phase_ == Stream::Phase::Completed) {
      // The buffer is the sink's until it returns: nothing else writes it while InSink.
      stream->phase_ = Stream::Phase::InSink;
      lock.unlock();
      const std::span transfer = std::span(stream->buffer_).first(stream->size_);
      stamp_transfer(transfer, stream->stamps_);
      stream->sink_->on_transfer(transfer);
      lock.lock();
      if (!stream->cancelled_) {
        // The next transfer is submitted, even when what it meets ends the stream.
        lock.unlock();
        stream->sink_->on_submit();
        lock.lock();
      }
      // What submitting the next transfer would meet.
      std::optional<TransferError> end;
      if (stream->cancelled_) {
        end = TransferError::Cancelled;
      } else if (unplugged_) {
        end = TransferError::Disconnected;
      } else if (reports_.fail_next) {
        end = std::exchange(reports_.fail_next, std::nullopt);
      }
      if (end) {
        stream->phase_ = Stream::Phase::Ending;
        stream->end_ = *end;
      } else {
        stream->phase_ = Stream::Phase::Waiting;
        deliver_locked(kReportEndpoint);
      }
    } else if (stream->phase_ == Stream::Phase::Ending) {
      std::shared_ptr<Stream> ended = std::move(stream_);
      lock.unlock();
      ended->sink_->on_end(ended->end_);
      ended->sink_.reset();  // held until on_end has returned
      lock.lock();
    } else {
      break;  // waiting for data
    }
  }
  draining_ = false;
}

void Kit::deliver_locked(std::uint8_t endpoint) {
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
  if (stream_ && stream_->phase_ == Stream::Phase::Waiting) {
    Stream& stream = *stream_;
    stream.stamps_.clear();
    bool overflow = false;
    auto buffer = [&](std::size_t size) { return std::span(stream.buffer_).first(size); };
    const auto size = take_report_locked(stream.length_, buffer, stream.stamps_, overflow);
    if (!size) return;
    if (overflow) {
      stream.phase_ = Stream::Phase::Ending;
      stream.end_ = TransferError::Fault;
    } else {
      ++report_transfers_delivered_;
      stream.size_ = *size;
      stream.phase_ = Stream::Phase::Completed;
    }
    wake_stream_locked();
  }
}

template <typename Buffer>
std::optional<std::size_t> Kit::take_report_locked(std::size_t length, Buffer&& buffer,
                                                   std::vector<std::uint32_t>& stamps,
                                                   bool& overflow) {
  if (!runs_.empty()) {
    ScriptedRun& run = runs_.front();
    if (run.next == run.released) return std::nullopt;  // paced: the next one is not due yet
    const std::span<const std::uint8_t> transfer = (*run.transfers)[run.next++];
    overflow = transfer.size() > length;
    if (!overflow) std::copy(transfer.begin(), transfer.end(), buffer(transfer.size()).begin());
    if (run.next == run.transfers->size()) {
      runs_.pop_front();
      if (!runs_.empty()) {
        start_run_locked(runs_.front(), Clock::now());
        pace_locked();
      }
    }
    return transfer.size();
  }
  if (generated_.empty()) return std::nullopt;
  const std::size_t size = generated_.next_size(length);
  generated_.take(buffer(size), stamps);
  return size;
}

void Kit::start_run_locked(ScriptedRun& run, Clock::time_point now) {
  run.start = now;
  run.released = run.paced() ? 0 : run.transfers->size();
  release_due_locked(now);
}

bool Kit::release_due_locked(Clock::time_point now) {
  if (runs_.empty()) return false;
  ScriptedRun& run = runs_.front();
  const std::size_t before = run.released;
  while (run.released < run.transfers->size() && run.due(run.released) <= now) ++run.released;
  return run.released != before;
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
  runs_.push_back({&transfers, 0, 0, interval, times, {}});
  if (runs_.size() == 1) {
    start_run_locked(runs_.front(), Clock::now());
    pace_locked();
  }
  deliver_locked(kReportEndpoint);
}

void Kit::queue_report_locked(const protocol::SensorReport& report) {
  if (unplugged_) return;
  if (!generated_.append(report)) ++reports_dropped_;
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
  receiver_.stop_streaming();
  for (InEndpoint* in : {&reports_, &responses_}) {
    for (auto& transfer : in->pending) complete_locked(transfer, {TransferError::Disconnected, {}});
    in->pending.clear();
    in->transfers.clear();
  }
  runs_.clear();
  generated_.clear();
  end_waiting_stream_locked(TransferError::Disconnected);
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
  // A stream counts as the one transfer it has submitted, while that one waits.
  const std::size_t stream_waiting = stream_ && stream_->phase_ == Stream::Phase::Waiting ? 1 : 0;
  state.pending_transfers = reports_.pending.size() + stream_waiting + responses_.pending.size() +
                            pending_out_ + held_commands_.size();
  state.commands = commands_;
  state.streaming = receiver_.streaming();
  state.pending_report_reads = reports_.pending.size() + stream_waiting;
  state.report_backlog = generated_.size();
  for (const ScriptedRun& run : runs_) state.report_backlog += run.transfers->size() - run.next;
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
  std::optional<Clock::time_point> due = receiver_.next_tick();
  if (!runs_.empty()) {
    const ScriptedRun& run = runs_.front();
    if (run.released < run.transfers->size()) {
      const auto release = run.due(run.released);
      if (!due || release < *due) due = release;
    }
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
  if (const auto tick = receiver_.next_tick(); tick && *tick <= now) receiver_.tick(*this);
  if (release_due_locked(now)) deliver_locked(kReportEndpoint);
  pace_locked();
}

bool Kit::fire_trigger_locked(std::string_view trigger, bool in_flight) {
  bool fired = false;
  for (const ScriptAction& action : scenario_.script) {
    if (action.on != trigger || action.in_flight != in_flight) continue;
    fired = true;
    // The scenario lives as long as the kit: a scripted stream is sent from where it lies.
    auto fire = [action = &action](Kit& kit) {
      if (action->response) kit.queue_response_locked(*action->response);
      kit.queue_report_transfers_locked(action->report_transfers,
                                        std::chrono::microseconds(action->report_interval_us));
      if (action->fail) kit.fail_next_locked(action->fail->endpoint, action->fail->status);
      if (action->lose_tracker) kit.receiver_.lose_tracker(kit, *action->lose_tracker);
      if (action->restore_tracker) kit.receiver_.restore_tracker(kit, *action->restore_tracker);
      if (action->unplug) kit.unplug_locked();
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

void Kit::replay_locked(const ReplayExchange& exchange) {
  // The replay lives as long as the kit: its transfers are sent from where they lie.
  replay_responses_locked(exchange, 0, Clock::now());
  queue_report_transfers_locked(exchange.reports, std::chrono::microseconds(0),
                                exchange.report_times);
  if (exchange.unplug_at) schedule(*exchange.unplug_at, unplug_once_sent);
}

void Kit::unplug_once_sent(Kit& kit) {
  // The recorded receiver went away after the host had read what it sent; read as fast as it
  // is replayed, that may take a moment longer.
  if (kit.responses_.transfers.empty() && kit.runs_.empty()) {
    kit.unplug_locked();
  } else {
    kit.schedule(std::chrono::milliseconds(1), unplug_once_sent);
  }
}

void Kit::replay_responses_locked(const ReplayExchange& exchange, std::size_t next,
                                  Clock::time_point start) {
  // One timer at a time, for the next one due: responses keep their recorded order even when
  // they were recorded in the same microsecond.
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  for (; next < exchange.responses.size() && exchange.responses[next].at <= elapsed; ++next) {
    queue_response_locked(exchange.responses[next].bytes);
  }
  if (next == exchange.responses.size() || unplugged_) return;
  schedule(exchange.responses[next].at - elapsed, [&exchange, next, start](Kit& kit) {
    kit.replay_responses_locked(exchange, next, start);
  });
}

}  // namespace sorvel::simulator
