#pragma once
// The trackers of one completed pairing and the poll over them.

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/routing_table.hpp"
#include "sorvel/trackers/tracker_address.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// What the set keeps per tracker besides its entry, keyed by address.
struct TrackerHandle {
  TrackerEntry entry;  ///< the same handles that were published in the routing table
  TrackerAddress address;
  BodyPart body_part = BodyPart::LeftLowerArm;
};

/// One frame per tracker and whether it is new since the last poll (true: taken from the queue)
/// or a repeat of the newest frame (false).
using PollResult = std::vector<std::pair<TrackerFrame, bool>>;

/// Per paired tracker, in ascending address order: its frame queue and latest-frame cell.
///
/// Thread safety: a built set is immutable; `poll` may run concurrently with the report reader
/// routing frames into the same queues and cells. Concurrent polls of one set are safe but split
/// the queued frames between them.
class TrackerSet {
 public:
  /// Creates a queue and a default latest frame per tracker of `paired`, in ascending address
  /// order, and publishes each in `routing`'s slot of its body part as it goes, so frames reach it
  /// at once. Two trackers on one body part both get entries; the slot ends up with the higher
  /// address. Logs "Added driver: [a, b, c, d, e, f]" per tracker.
  static TrackerSet build(const std::map<TrackerAddress, BodyPart>& paired, RoutingTable& routing,
                          std::shared_ptr<std::atomic<bool>> receiver_connected);

  TrackerSet(TrackerSet&&) noexcept = default;
  TrackerSet& operator=(TrackerSet&&) noexcept = default;
  TrackerSet(const TrackerSet&) = delete;
  TrackerSet& operator=(const TrackerSet&) = delete;

  /// Nothing once the receiver link is lost, even with frames still queued. Otherwise one pair
  /// per entry, in entry order: the oldest queued frame (fresh) or a copy of the latest frame
  /// (repeated). The latest frames are not changed. Allocates only the result.
  std::optional<PollResult> poll() const;

  const std::vector<TrackerEntry>& entries() const { return entries_; }
  const std::vector<TrackerAddress>& addresses() const { return addresses_; }
  std::size_t count() const { return count_; }
  const std::map<TrackerAddress, TrackerHandle>& handles() const { return handles_; }

 private:
  TrackerSet() = default;

  std::vector<TrackerEntry> entries_;
  std::vector<TrackerAddress> addresses_;
  std::shared_ptr<std::atomic<bool>> receiver_connected_;
  std::size_t count_ = 0;
  std::map<TrackerAddress, TrackerHandle> handles_;
};

}  // namespace sorvel
