#pragma once
// The trackers of one completed pairing and the poll over them.

#include <atomic>
#include <cstddef>
#include <cstdint>
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

/// What TrackerSet::poll_each reports to, once per entry in entry order (`index` from 0):
///   void fresh(std::size_t index, const TrackerFrame& frame)
///       the oldest queued frame, taken from the queue;
///   std::uint64_t known_version(std::size_t index)
///       the version of the entry's latest frame the visitor still holds, or
///       LatestFrame::kNoVersion (asked before a repeat);
///   void repeated(std::size_t index, std::uint64_t version, const TrackerFrame* frame)
///       the latest frame, stored as `version`; `frame` is null when that is the known version.
/// This one holds nothing and hands `visit(const TrackerFrame&, bool fresh)` every frame.
template <typename Visit>
class FrameVisitor {
 public:
  explicit FrameVisitor(Visit& visit) : visit_(visit) {}

  void fresh(std::size_t, const TrackerFrame& frame) { visit_(frame, true); }
  std::uint64_t known_version(std::size_t) const { return LatestFrame::kNoVersion; }
  void repeated(std::size_t, std::uint64_t, const TrackerFrame* frame) { visit_(*frame, false); }

 private:
  Visit& visit_;
};

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

  /// `poll` without the result, reported entry by entry to `visitor` (see FrameVisitor), which
  /// may keep what it was shown: a repeat of a latest frame it still holds is not copied again.
  /// False, without a call, once the receiver link is lost. Allocates nothing; the visitor must
  /// not poll this set.
  template <typename Visitor>
  bool poll_each(Visitor& visitor) const {
    // A moved-from set has no flag and no entries: it reads as disconnected.
    if (!receiver_connected_ || !receiver_connected_->load(std::memory_order_acquire)) {
      return false;
    }
    for (std::size_t index = 0; index < entries_.size(); ++index) {
      const TrackerEntry& entry = entries_[index];
      if (auto frame = entry.queue->pop()) {
        visitor.fresh(index, *frame);
        continue;
      }
      // The reader may push between the failed pop and this read; a repeat newer than a frame
      // still queued would let the next poll go back in time. A frame pushed before the read
      // below is taken instead, so whatever stays queued is not older than the repeat.
      const std::uint64_t known = visitor.known_version(index);
      TrackerFrame newest;
      const std::uint64_t version = entry.latest->load_unless(known, newest);
      if (auto frame = entry.queue->pop()) {
        visitor.fresh(index, *frame);
      } else {
        visitor.repeated(index, version, version == known ? nullptr : &newest);
      }
    }
    return true;
  }

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
