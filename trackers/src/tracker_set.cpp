#include "sorvel/trackers/tracker_set.hpp"

#include <utility>

#include "sorvel/log/log.hpp"

namespace sorvel {

TrackerSet TrackerSet::build(const std::map<TrackerAddress, BodyPart>& paired,
                             RoutingTable& routing,
                             std::shared_ptr<std::atomic<bool>> receiver_connected) {
  TrackerSet set;
  set.receiver_connected_ = std::move(receiver_connected);
  set.entries_.reserve(paired.size());
  set.addresses_.reserve(paired.size());
  // The map iterates in ascending address order, which is the entry order and also decides which
  // of two trackers on one body part keeps the routing slot: the later, higher address.
  for (const auto& [address, body_part] : paired) {
    TrackerEntry entry{std::make_shared<FrameQueue>(), std::make_shared<LatestFrame>()};
    set.entries_.push_back(entry);
    routing.replace(body_part, entry);
    set.addresses_.push_back(address);
    log::info(log::kTrackersTarget, "Added driver: {}", address);
    set.handles_.insert_or_assign(address, TrackerHandle{std::move(entry), address, body_part});
  }
  set.count_ = paired.size();
  return set;
}

std::optional<PollResult> TrackerSet::poll() const {
  // A moved-from set has no flag and no entries: it reads as disconnected.
  if (!receiver_connected_ || !receiver_connected_->load(std::memory_order_acquire)) {
    return std::nullopt;
  }
  PollResult result;
  result.reserve(entries_.size());
  for (const TrackerEntry& entry : entries_) {
    if (auto frame = entry.queue->pop()) {
      result.emplace_back(*frame, true);
      continue;
    }
    // The reader may push between the failed pop and this read; a repeat newer than a frame
    // still queued would let the next poll go back in time. A frame pushed before the read
    // below is taken instead, so whatever stays queued is not older than the repeat.
    TrackerFrame newest = entry.latest->load();
    if (auto frame = entry.queue->pop()) {
      result.emplace_back(*frame, true);
    } else {
      result.emplace_back(newest, false);
    }
  }
  return result;
}

}  // namespace sorvel
