#pragma once
// The driver core: opens the receiver, pairs a group of trackers, starts the sensor stream.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/host/events.hpp"
#include "sorvel/driver/host/usb_session.hpp"
#include "sorvel/driver/host/version.hpp"
#include "sorvel/driver/runtime/async_mutex.hpp"
#include "sorvel/trackers/tracker_set.hpp"

namespace sorvel {

/// How long each wait for the receiver may take. Tests shorten them; users never need to.
struct HostTimeouts {
  std::chrono::milliseconds get_info{3000};
  std::chrono::milliseconds soft_reset{3000};
  std::chrono::milliseconds per_tracker{300000};
  std::chrono::milliseconds ready{5000};
};

/// The trackers of the last completed pairing, by address.
using PairingResult = std::map<TrackerAddress, std::pair<BodyPart, protocol::SemVer>>;

/// Thread safety: every member may be used from any task or thread; shared by handle between
/// the driver object and the operations it started. Dropping the last handle closes the session.
class Host {
 public:
  /// Opens the session on `device`, asks the receiver who it is (at most `get_info`), checks its
  /// firmware (a mismatch is reported as an event, not refused), then starts the report reader.
  static asio::awaitable<DriverResult<std::shared_ptr<Host>>> open(
      std::shared_ptr<usb::Device> device, std::shared_ptr<const EventHandler> handler,
      HostTimeouts timeouts = {});

  /// Resets the trackers, pairs `group` and builds the tracker set. Calls are serialised: a
  /// second pairing starts when the first has ended. A success also takes the routing slots of
  /// the body parts it did not pair away from an earlier pairing. A failure changes no state.
  asio::awaitable<DriverResult<TrackerSet>> pair(std::vector<BodyPart> group);

  /// Sends Go once a pairing has completed; no answer is awaited.
  asio::awaitable<DriverResult<void>> start();

  /// A receiver end of the response broadcast; fails once the receiver link is lost.
  DriverResult<ResponseReceiver> subscribe();

  bool receiver_connected() const { return link_.receiver_connected->load(); }
  /// Every frame routed from now on, for whoever subscribes; ended when the receiver is lost or
  /// the host goes.
  const std::shared_ptr<FrameStreams>& frames() const { return link_.frames; }
  const protocol::ReceiverInfo& receiver_info() const { return receiver_info_; }
  std::size_t expected_tracker_count() const { return expected_tracker_count_.load(); }

  /// Ends the frame streams (Closed), then closes the session.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

 private:
  Host(std::unique_ptr<UsbSession> session, LinkState link, protocol::ReceiverInfo info,
       HostTimeouts timeouts);

  /// What a pairing has sent and not yet seen answered. A cancelled pairing leaves it behind,
  /// with the receiver end that has seen every answer since, so that the next pairing can wait
  /// for those answers first: pairing answers carry nothing that tells whose they are.
  struct OutstandingAnswers {
    std::optional<ResponseReceiver> receiver;
    bool soft_reset = false;  ///< TrackerSoftReset sent, SoftResetDone not seen
    bool ready = false;       ///< Initiate sent, ReadyToReport not seen
  };

  /// Waits (each for its usual time-out at most) for the answers a cancelled pairing left.
  asio::awaitable<void> drain(OutstandingAnswers& outstanding);
  asio::awaitable<DriverResult<TrackerSet>> pair_locked(std::vector<BodyPart> group,
                                                        const protocol::command::Initiate& initiate,
                                                        OutstandingAnswers& outstanding);
  asio::awaitable<DriverResult<PairingResult>> collect_trackers(ResponseReceiver& receiver,
                                                                std::size_t count);

  std::unique_ptr<UsbSession> session_;
  LinkState link_;
  protocol::ReceiverInfo receiver_info_;
  HostTimeouts timeouts_;
  std::shared_ptr<RoutingTable> routing_ = std::make_shared<RoutingTable>();
  std::atomic<std::size_t> expected_tracker_count_{0};
  runtime::AsyncMutex<std::optional<PairingResult>> registry_;
  runtime::AsyncMutex<OutstandingAnswers> pairing_;  ///< serialises pairings
};

/// The firmware requirement of `driver_version`: "~" and the part of its build metadata after
/// "firmware.". An internal error when the driver was built without one.
Expected<TildeRequirement, runtime::InternalError> firmware_requirement(
    std::string_view driver_version);

}  // namespace sorvel
