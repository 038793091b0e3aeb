#include "sorvel/trackers/routing_table.hpp"

#include <mutex>
#include <utility>

namespace sorvel {

namespace {
std::size_t index(BodyPart part) {
  return static_cast<std::size_t>(part);
}
}  // namespace

bool RoutingTable::route(BodyPart part, const TrackerFrame& frame) {
  std::shared_lock lock(mutex_);
  const auto& slot = slots_[index(part)];
  if (!slot) return false;
  // The newest frame is published before it can be popped: a poll that has taken it from the
  // queue must not then find an older one in the cell when the queue runs empty.
  slot->latest->store(frame);
  slot->queue->push(frame);
  return true;
}

void RoutingTable::replace(BodyPart part, TrackerEntry entry) {
  std::optional<TrackerEntry> previous;
  {
    std::unique_lock lock(mutex_);
    previous = std::exchange(slots_[index(part)], std::move(entry));
  }
  // `previous` releases the old handles here, outside the lock.
}

void RoutingTable::clear(BodyPart part) {
  std::optional<TrackerEntry> previous;
  {
    std::unique_lock lock(mutex_);
    previous = std::exchange(slots_[index(part)], std::nullopt);
  }
}

std::optional<TrackerEntry> RoutingTable::slot(BodyPart part) const {
  std::shared_lock lock(mutex_);
  return slots_[index(part)];
}

}  // namespace sorvel
