#pragma once
// One virtual receiver with its trackers: the USB device model (claims, endpoints, pending
// transfers, injected faults, unplug) and, through ReceiverModel, what the receiver answers.
//
// Threads: every public member may be called from any thread; state sits behind one mutex.
// Completion callbacks, stream sinks and scheduled work run on the simulator's own thread, never
// under the lock and never inside a submit call.
//
// Pacing: one timer per kit wakes it for whatever is due next, the receiver's next round of
// reports (every tracker's at once) or the next paced scripted transfer.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "generated_stream.hpp"
#include "receiver_model.hpp"
#include "replay.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/simulator/kit_state.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

inline constexpr std::uint8_t kReportEndpoint = 0x81;
inline constexpr std::uint8_t kResponseEndpoint = 0x82;
inline constexpr std::uint8_t kCommandEndpoint = 0x01;
inline constexpr std::size_t kInterfaceCount = 3;

/// The simulator's thread: every kit's completions and timers run here.
asio::io_context& simulator_context();

class Kit : public std::enable_shared_from_this<Kit> {
 public:
  explicit Kit(Scenario scenario);
  ~Kit();

  bool present() const;
  Expected<void, SystemError> open();
  Expected<void, SystemError> claim(std::uint8_t number);
  void release(std::uint8_t number);
  Expected<void, SystemError> select_alternate_setting(std::uint8_t number, std::uint8_t setting);
  std::shared_ptr<usb::PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                                  usb::TransferCallback done);
  /// The report endpoint's continuous read: one transfer at a time, built in one reused buffer
  /// and handed to `sink` on the simulator's thread. It ends as a chain of submit_in would: on a
  /// failure, an unplug, a scripted failure or a cancel. One stream at a time; a second one
  /// ends at once with Stall. Transfers submitted with submit_in are served before the stream.
  std::shared_ptr<usb::PendingTransfer> read_reports(std::size_t length,
                                                     std::shared_ptr<usb::StreamSink> sink);
  std::shared_ptr<usb::PendingTransfer> submit_out(std::uint8_t endpoint, Bytes bytes,
                                                   usb::TransferCallback done);
  void unplug();
  KitState state() const;

  // Used by ReceiverModel and scripted actions (called with the kit's lock held).
  void queue_response_locked(Bytes transfer);
  /// Sends `transfers` (which live as long as the kit) after what is queued, paced when
  /// `interval` is not zero, or each at its time in `times` (which live as long as the kit),
  /// counted from when they come to the front of the queue.
  void queue_report_transfers_locked(const TransferList& transfers,
                                     std::chrono::microseconds interval,
                                     std::span<const std::chrono::microseconds> times = {});
  void queue_report_locked(const protocol::SensorReport& report);
  void fail_next_locked(std::uint8_t endpoint, TransferError status);
  void unplug_locked();
  /// Runs `work` with the lock held after `delay`, unless the kit is gone by then.
  void schedule(std::chrono::microseconds delay, std::function<void(Kit&)> work);
  /// Re-arms the kit's timer for whatever is due next.
  void pace_locked();

 private:
  class Transfer;
  class Stream;
  struct InEndpoint {
    std::deque<std::shared_ptr<Transfer>> pending;
    std::deque<Bytes> transfers;  ///< whole transfers, delivered as they are (responses)
    std::optional<TransferError> fail_next;
  };
  /// One scripted action's report transfers not yet delivered.
  struct ScriptedRun {
    const TransferList* transfers = nullptr;
    std::size_t next = 0;      ///< the next one to deliver
    std::size_t released = 0;  ///< how many may be delivered by now
    std::chrono::microseconds interval{0};
    std::span<const std::chrono::microseconds> times;  ///< each one's time, instead of interval
    std::chrono::steady_clock::time_point start;       ///< when it came to the front of the queue

    bool paced() const { return interval.count() != 0 || !times.empty(); }
    /// When transfer `i` may be delivered.
    std::chrono::steady_clock::time_point due(std::size_t i) const {
      return start + (times.empty() ? interval * static_cast<std::int64_t>(i) : times[i]);
    }
  };
  using Clock = std::chrono::steady_clock;

  InEndpoint* in_endpoint(std::uint8_t endpoint);
  void deliver_locked(std::uint8_t endpoint);
  /// Takes the next report transfer of at most `length` bytes, if one is ready: `buffer(size)`
  /// gives where its bytes go. Returns its size, or nothing; `overflow` when it was longer than
  /// `length` (its bytes then are dropped, not copied).
  template <typename Buffer>
  std::optional<std::size_t> take_report_locked(std::size_t length, Buffer&& buffer,
                                                std::vector<std::uint32_t>& stamps, bool& overflow);
  /// Starts the front scripted run's clock.
  void start_run_locked(ScriptedRun& run, Clock::time_point now);
  /// Releases the front scripted run's transfers that are due by `now`; true if any was.
  bool release_due_locked(Clock::time_point now);
  /// Plays what a recorded receiver did after a command or after being opened.
  void replay_locked(const ReplayExchange& exchange);
  /// Unplugs `kit` once the host has read every response and report transfer queued.
  static void unplug_once_sent(Kit& kit);
  /// Sends `exchange`'s responses from `next` on, each at its time counted from `start`.
  void replay_responses_locked(const ReplayExchange& exchange, std::size_t next,
                               Clock::time_point start);
  void complete_locked(const std::shared_ptr<Transfer>& transfer, usb::TransferResult result,
                       std::vector<std::uint32_t> stamps = {});
  void cancel(Transfer* transfer);
  void cancel_stream(Stream* stream);
  /// Ends the waiting stream with `error`; false if no stream is waiting.
  bool end_waiting_stream_locked(TransferError error);
  /// Has the simulator's thread run `drain` unless it does already.
  void wake_stream_locked();
  /// Hands the stream's completed transfers to its sink and ends it, on the simulator's thread.
  void drain();
  void on_timer(std::uint64_t generation);
  /// Acts on a command whose OUT transfer has reached the receiver, and completes the transfer.
  void finish_command_locked(const std::shared_ptr<Transfer>& transfer, const Bytes& bytes);
  /// Completes the held commands once no scripted response is left to read.
  void release_held_commands_locked();
  /// Fires the actions on `trigger` that are (or are not) in flight; true if any was.
  bool fire_trigger_locked(std::string_view trigger, bool in_flight);

  mutable std::mutex mutex_;
  Scenario scenario_;
  ReceiverModel receiver_;
  bool unplugged_ = false;
  std::array<bool, kInterfaceCount> claimed_{};
  InEndpoint reports_;
  InEndpoint responses_;
  std::deque<ScriptedRun> runs_;  ///< scripted report transfers go before generated ones
  GeneratedStream generated_;
  std::shared_ptr<Stream> stream_;  ///< the report stream, until its sink has seen its end
  bool draining_ = false;           ///< `drain` is posted or running
  asio::steady_timer timer_;
  std::optional<Clock::time_point> timer_due_;  ///< what the outstanding wait is for
  std::uint64_t timer_generation_ = 0;          ///< tells a stale wake from the current one
  std::optional<TransferError> out_fail_next_;
  std::vector<std::shared_ptr<Transfer>> held_commands_;  ///< see ScriptAction::in_flight
  std::vector<Bytes> commands_;
  std::vector<std::string> history_;
  /// How often each recorded command came, in a replay.
  std::map<const std::vector<ReplayExchange>*, std::size_t> replayed_commands_;
  std::size_t report_transfers_delivered_ = 0;
  std::size_t reports_dropped_ = 0;
  std::size_t pending_out_ = 0;
};

}  // namespace sorvel::simulator
