#pragma once
// Where the report reader finds the tracker of a body part: one slot per body part.

#include <array>
#include <memory>
#include <optional>
#include <shared_mutex>

#include "sorvel/trackers/shared_mutex.hpp"

#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/frame_queue.hpp"
#include "sorvel/trackers/latest_frame.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// One paired tracker's frame queue and latest-frame cell. The tracker set and the routing table
/// each hold these handles, so either may outlive the other.
struct TrackerEntry {
  std::shared_ptr<FrameQueue> queue;
  std::shared_ptr<LatestFrame> latest;
};

/// 15 slots indexed by body part, each empty or holding one tracker, behind a reader-writer lock.
/// Shared by handle between the host (which fills it when pairing) and the report reader.
///
/// Thread safety: every member may be called concurrently from any threads. `route` holds the
/// read lock for one frame; `replace` holds the write lock only to swap the slot's handles.
class RoutingTable {
 public:
  RoutingTable() = default;
  RoutingTable(const RoutingTable&) = delete;
  RoutingTable& operator=(const RoutingTable&) = delete;

  /// Hands `frame` to the tracker in `part`'s slot: stored as its latest frame, then pushed into
  /// its queue, so a poll never finds an older frame in the cell after popping a newer one from
  /// the queue. Returns false when the slot is empty (the body part is not paired): the frame
  /// is dropped.
  bool route(BodyPart part, const TrackerFrame& frame);

  /// Puts `entry` in `part`'s slot; the handles stored there before are released.
  void replace(BodyPart part, TrackerEntry entry);

  /// Empties `part`'s slot, releasing its handles: that body part's frames go nowhere from now.
  void clear(BodyPart part);

  /// Copies of the handles in `part`'s slot, or nothing when it is empty.
  std::optional<TrackerEntry> slot(BodyPart part) const;

 private:
  mutable SharedMutex mutex_;
  std::array<std::optional<TrackerEntry>, kBodyPartCount> slots_;
};

}  // namespace sorvel
