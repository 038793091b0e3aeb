#pragma once
// One opened receiver as a program uses it: the host plus the status and connection cells.
// The Python binding is a thin layer over this.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "sorvel/driver/host/host.hpp"
#include "sorvel/driver/lost_trackers.hpp"
#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/usb/capture.hpp"

namespace sorvel {

enum class ConnectionStatus : std::uint8_t { NotConnected, Connected, ReportingData };

/// "not connected", "connected", "reporting data".
std::string_view status_text(ConnectionStatus status);

/// Why a poll has no frames; the texts are what Python users see.
enum class PollFailure : std::uint8_t { NotConnected, NotStarted, NoData };
std::string_view message(PollFailure failure);

/// Why no receiver could be opened.
struct ReceiverNotFound {};
using OpenFailure = std::variant<ReceiverNotFound, SystemError, usb::CaptureError>;

/// Lists `backend`'s devices and opens the first receiver, recording its transfers when
/// SORVEL_CAPTURE names a file. A capture asked for that cannot be made fails the open before
/// the receiver is touched.
Expected<std::shared_ptr<usb::Device>, OpenFailure> open_receiver(usb::Backend& backend);

/// Thread safety: shared by handle; `connect` and `start` run on the runtime and keep their own
/// handle, so they may outlive the caller's. `status` and `poll` never wait for `connect` or
/// `start`, but are refused on runtime threads, like every call that could block there.
class Driver : public std::enable_shared_from_this<Driver> {
 public:
  /// The tracker set a poller polled last. A poller keeps one between polls, so that polling an
  /// unchanged connection takes no lock and counts no reference. Used by one thread at a time.
  class PollCache {
   public:
    /// Changes whenever the cache moves to another tracker set, and only then.
    std::uint64_t generation() const { return generation_; }

   private:
    friend class Driver;
    std::uint64_t generation_ = 0;  ///< of the driver's set that `set_` is
    std::shared_ptr<const TrackerSet> set_;
  };

  static asio::awaitable<DriverResult<std::shared_ptr<Driver>>> open(
      std::shared_ptr<usb::Device> device, HostTimeouts timeouts = {});

  /// Pairs `group`; on success the status becomes Connected, the new tracker set replaces the
  /// old one and only trackers reported lost during this pairing stay lost. A failure changes
  /// none of them.
  asio::awaitable<DriverResult<void>> connect(std::vector<BodyPart> group);
  /// Starts the stream; on success the status becomes ReportingData.
  asio::awaitable<DriverResult<void>> start();

  Expected<ConnectionStatus, runtime::InternalError> status();
  /// One frame per paired tracker in address order (fresh or repeated), or why there is none.
  Expected<Expected<PollResult, PollFailure>, runtime::InternalError> poll();

  /// `poll` without the result: reports each paired tracker, in address order, to `visitor` as
  /// TrackerSet::poll_each does (FrameVisitor), with what `poll` would have listed there; the
  /// same failures, without a call. Takes no lock while the connection is the one `cache` saw
  /// last, and allocates nothing. A visitor that keeps versions keeps them per generation of
  /// `cache`. It must not poll this driver with the same cache.
  template <typename Visitor>
  Expected<Expected<void, PollFailure>, runtime::InternalError> poll_each(PollCache& cache,
                                                                          Visitor& visitor) {
    using Outcome = Expected<void, PollFailure>;
    auto status = snapshot(cache);
    if (!status) return unexpected(std::move(status).error());
    switch (*status) {
      case ConnectionStatus::NotConnected:
        return Outcome(unexpected(PollFailure::NotConnected));
      case ConnectionStatus::Connected:
        return Outcome(unexpected(PollFailure::NotStarted));
      case ConnectionStatus::ReportingData:
        break;
    }
    // connect writes the status before it stores the set, so a start finishing in between can
    // leave ReportingData with no set yet: that first pairing is not in place.
    if (!cache.set_) return Outcome(unexpected(PollFailure::NotConnected));
    if (!cache.set_->poll_each(visitor)) return Outcome(unexpected(PollFailure::NoData));
    return Outcome();
  }

  /// The paired trackers the receiver reported lost and has not reported back since, in
  /// ascending body-part code order.
  /// Thread safety: lock-free; any thread, runtime threads included.
  std::vector<BodyPart> lost_trackers() const { return lost_->body_parts(); }
  /// The body parts of the latest successful pairing, in ascending body-part code order.
  /// Thread safety: lock-free; any thread.
  std::vector<BodyPart> paired_body_parts() const { return lost_->paired(); }

  const std::shared_ptr<Host>& host() const { return host_; }

 private:
  Driver(std::shared_ptr<Host> host, std::shared_ptr<LostTrackers> lost)
      : host_(std::move(host)), lost_(std::move(lost)) {}

  // The status and the set's generation share one word, so that one load tells both.
  static constexpr std::uint64_t kStatusBits = 2;
  static constexpr std::uint64_t kStatusMask = (1u << kStatusBits) - 1;

  void publish_status(ConnectionStatus status);
  void publish_set(TrackerSet set);
  /// The status, with `cache` brought to the set that goes with it. Refused on runtime threads.
  Expected<ConnectionStatus, runtime::InternalError> snapshot(PollCache& cache);

  std::shared_ptr<Host> host_;
  /// Shared with the host's event handler, which may outlive the driver by a moment.
  std::shared_ptr<LostTrackers> lost_;
  /// Serialises the writers, and readers whose cache is out of date, around `set_`.
  std::mutex state_mutex_;
  /// generation << kStatusBits | status; the generation counts the sets stored.
  std::atomic<std::uint64_t> state_{static_cast<std::uint64_t>(ConnectionStatus::NotConnected)};
  std::shared_ptr<const TrackerSet> set_;  ///< guarded by state_mutex_
};

}  // namespace sorvel
