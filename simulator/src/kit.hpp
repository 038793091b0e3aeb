#pragma once
// One virtual receiver's USB device: claims, endpoints, pending transfers, injected faults and
// unplug. What the receiver answers comes from its Receiver (the scripted model or a replay);
// what it sends on the report endpoint, and when, from its ReportPacer.
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
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <asio/steady_timer.hpp>

#include "receiver.hpp"
#include "report_pacer.hpp"
#include "simulator_thread.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/simulator/kit_state.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

inline constexpr std::uint8_t kReportEndpoint = 0x81;
inline constexpr std::uint8_t kResponseEndpoint = 0x82;
inline constexpr std::uint8_t kCommandEndpoint = 0x01;
inline constexpr std::size_t kInterfaceCount = 3;

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

  // Used by the receiver and scripted actions (called with the kit's lock held).
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
  /// Unplugs once the host has read every response and scripted report transfer queued: at
  /// once if it has, else when the delivery that empties the queues is made.
  void unplug_once_sent_locked();
  bool unplugged_locked() const { return unplugged_; }
  /// Adds an event (a command's name) to the history tests see.
  void record_locked(std::string event) { history_.push_back(std::move(event)); }
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
  using Clock = std::chrono::steady_clock;

  InEndpoint* in_endpoint(std::uint8_t endpoint);
  void deliver_locked(std::uint8_t endpoint);
  void deliver_pending_locked(std::uint8_t endpoint);
  /// Takes the next report transfer of at most `length` bytes, if one is ready (see
  /// ReportPacer::take), and re-arms the timer when the next release has changed.
  template <typename Buffer>
  std::optional<std::size_t> take_report_locked(std::size_t length, Buffer&& buffer,
                                                std::vector<std::uint32_t>& stamps, bool& overflow);
  /// Unplugs if an unplug waits for the queues to empty and they have.
  void unplug_if_sent_locked();
  void complete_locked(const std::shared_ptr<Transfer>& transfer, usb::TransferResult result,
                       std::vector<std::uint32_t> stamps = {});
  void cancel(Transfer* transfer);
  void cancel_stream(Stream* stream);
  /// Ends the waiting stream with `error`; false if no stream is waiting.
  bool end_waiting_stream_locked(TransferError error);
  /// Hands the next report transfer to a waiting stream, if one is ready.
  void feed_stream_locked();
  /// Has the simulator's thread run `drain` unless it does already.
  void wake_stream_locked();
  /// Hands the stream's completed transfers to its sink and ends it, on the simulator's thread.
  void drain();
  /// Ends a stream the kit is destroyed with, on the simulator's thread.
  static void end_orphaned_stream(std::shared_ptr<Stream> stream);
  void on_timer(std::uint64_t generation);
  /// Hands a command whose OUT transfer has reached the receiver to it.
  void finish_command_locked(const std::shared_ptr<Transfer>& transfer, const Bytes& bytes);
  /// Ends a command's OUT transfer, or holds it until no response is left to read.
  void end_command_locked(const std::shared_ptr<Transfer>& transfer, bool hold);
  /// Completes the held commands once no scripted response is left to read.
  void release_held_commands_locked();

  mutable std::mutex mutex_;
  Scenario scenario_;
  std::unique_ptr<Receiver> receiver_;  ///< refers to scenario_
  bool unplugged_ = false;
  bool unplug_when_sent_ = false;  ///< see unplug_once_sent_locked
  std::array<bool, kInterfaceCount> claimed_{};
  InEndpoint reports_;
  InEndpoint responses_;
  ReportPacer pacer_;
  std::shared_ptr<Stream> stream_;  ///< the report stream, until its sink has seen its end
  bool draining_ = false;           ///< `drain` is posted or running
  asio::steady_timer timer_;
  std::optional<Clock::time_point> timer_due_;  ///< what the outstanding wait is for
  std::uint64_t timer_generation_ = 0;          ///< tells a stale wake from the current one
  std::optional<TransferError> out_fail_next_;
  std::vector<std::shared_ptr<Transfer>> held_commands_;  ///< see ScriptAction::in_flight
  std::vector<Bytes> commands_;
  std::vector<std::string> history_;
  std::size_t report_transfers_delivered_ = 0;
  std::size_t reports_dropped_ = 0;
  std::size_t pending_out_ = 0;
};

template <typename Buffer>
std::optional<std::size_t> Kit::take_report_locked(std::size_t length, Buffer&& buffer,
                                                   std::vector<std::uint32_t>& stamps,
                                                   bool& overflow) {
  bool repace = false;
  auto size = pacer_.take(length, std::forward<Buffer>(buffer), stamps, overflow, repace);
  if (repace) pace_locked();
  return size;
}

}  // namespace sorvel::simulator
