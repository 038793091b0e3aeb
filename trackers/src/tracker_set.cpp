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
  PollResult result;
  result.reserve(entries_.size());
  auto add = [&](const TrackerFrame& frame, bool fresh) { result.emplace_back(frame, fresh); };
  FrameVisitor visitor(add);
  const bool connected = poll_each(visitor);
  if (!connected) return std::nullopt;
  return result;
}

}  // namespace sorvel
