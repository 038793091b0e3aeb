#pragma once
// One virtual receiver with its trackers: the USB device model (claims, endpoints, pending
// transfers, injected faults, unplug) and, through ReceiverModel, what the receiver answers.
//
// Threads: every public member may be called from any thread; state sits behind one mutex.
// Completion callbacks and scheduled work run on the simulator's own thread, never under the
// lock and never inside a submit call.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <asio/io_context.hpp>

#include "receiver_model.hpp"
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
  std::shared_ptr<usb::PendingTransfer> submit_out(std::uint8_t endpoint, Bytes bytes,
                                                   usb::TransferCallback done);
  void unplug();
  KitState state() const;

  // Used by ReceiverModel (called with the kit's lock held).
  void queue_response_locked(Bytes transfer);
  void queue_report_transfer_locked(Bytes transfer);
  void queue_report_bytes_locked(const Bytes& bytes);
  void fail_next_locked(std::uint8_t endpoint, TransferError status);
  void unplug_locked();
  /// Runs `work` with the lock held after `delay`, unless the kit is gone by then.
  void schedule(std::chrono::microseconds delay, std::function<void(Kit&)> work);

 private:
  class Transfer;
  struct InEndpoint {
    std::deque<std::shared_ptr<Transfer>> pending;
    std::deque<Bytes> transfers;      ///< whole transfers, delivered as they are
    std::deque<std::uint8_t> stream;  ///< cut into transfers of the length asked for
    std::optional<TransferError> fail_next;
  };

  InEndpoint* in_endpoint(std::uint8_t endpoint);
  void deliver_locked(std::uint8_t endpoint);
  void complete_locked(const std::shared_ptr<Transfer>& transfer, usb::TransferResult result);
  void cancel(Transfer* transfer);
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
  std::optional<TransferError> out_fail_next_;
  std::vector<std::shared_ptr<Transfer>> held_commands_;  ///< see ScriptAction::in_flight
  std::vector<Bytes> commands_;
  std::vector<std::string> history_;
  std::size_t report_transfers_delivered_ = 0;
  std::size_t pending_out_ = 0;
};

}  // namespace sorvel::simulator
