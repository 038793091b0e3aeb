#include "sorvel/driver/lost_trackers.hpp"

namespace sorvel {

namespace {
std::uint32_t bit(BodyPart part) {
  return std::uint32_t{1} << static_cast<unsigned>(part);
}
}  // namespace

void LostTrackers::on_event(const HostEvent& event) {
  if (const auto* lost = std::get_if<event::TrackerLost>(&event)) {
    const std::uint32_t b = bit(lost->body_part);
    bits_.fetch_or(b | b << kSinceShift);
  } else if (const auto* restored = std::get_if<event::TrackerRestored>(&event)) {
    const std::uint32_t b = bit(restored->body_part);
    bits_.fetch_and(~(b | b << kSinceShift));
  }
}

void LostTrackers::begin_pairing() {
  bits_.fetch_and(kLostMask);
}

void LostTrackers::pairing_succeeded() {
  std::uint32_t bits = bits_.load();
  while (!bits_.compare_exchange_weak(bits, (bits & ~kLostMask) | bits >> kSinceShift)) {
  }
}

std::vector<BodyPart> LostTrackers::body_parts() const {
  const std::uint32_t lost = bits_.load() & kLostMask;
  std::vector<BodyPart> parts;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    if ((lost >> i & 1u) != 0) parts.push_back(static_cast<BodyPart>(i));
  }
  return parts;
}

}  // namespace sorvel
