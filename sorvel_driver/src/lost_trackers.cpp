#include "sorvel/driver/lost_trackers.hpp"

namespace sorvel {

namespace {
std::uint64_t bit(BodyPart part) {
  return std::uint64_t{1} << static_cast<unsigned>(part);
}
}  // namespace

void LostTrackers::on_event(const HostEvent& event) {
  if (const auto* lost = std::get_if<event::TrackerLost>(&event)) {
    const std::uint64_t b = bit(lost->body_part);
    bits_.fetch_or(b | b << kSinceShift);
  } else if (const auto* restored = std::get_if<event::TrackerRestored>(&event)) {
    const std::uint64_t b = bit(restored->body_part);
    bits_.fetch_and(~(b | b << kSinceShift));
  }
}

void LostTrackers::begin_pairing() {
  bits_.fetch_and(~kSinceMask);
}

void LostTrackers::pairing_succeeded(std::span<const BodyPart> paired) {
  std::uint64_t parts = 0;
  for (BodyPart part : paired) parts |= bit(part);
  std::uint64_t bits = bits_.load();
  for (;;) {
    const std::uint64_t since = (bits & kSinceMask) >> kSinceShift;
    const std::uint64_t next = (bits & kSinceMask) | since | parts << kPairedShift;
    if (bits_.compare_exchange_weak(bits, next)) return;
  }
}

namespace {
std::vector<BodyPart> parts_of(std::uint64_t mask) {
  std::vector<BodyPart> parts;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    if ((mask >> i & 1u) != 0) parts.push_back(static_cast<BodyPart>(i));
  }
  return parts;
}
}  // namespace

std::vector<BodyPart> LostTrackers::body_parts() const {
  const std::uint64_t bits = bits_.load();
  return parts_of(bits & kLostMask & (bits & kPairedMask) >> kPairedShift);
}

std::vector<BodyPart> LostTrackers::paired() const {
  return parts_of((bits_.load() & kPairedMask) >> kPairedShift);
}

}  // namespace sorvel
