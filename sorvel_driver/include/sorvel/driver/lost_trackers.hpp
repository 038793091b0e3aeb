#pragma once
// Which paired trackers are out of reach, as the receiver's TrackerLost / TrackerRestored events
// tell it: what a live view shows beside the frames.

#include <atomic>
#include <cstdint>
#include <vector>

#include "sorvel/driver/host/events.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel {

/// Thread safety: every member is lock-free and may be called from any thread at once.
class LostTrackers {
 public:
  /// Records a TrackerLost or TrackerRestored; any other event changes nothing.
  void on_event(const HostEvent& event);
  /// A pairing begins: what is reported from now on may be about the trackers it pairs.
  void begin_pairing();
  /// The pairing begun last succeeded: only what was reported since it began still holds.
  void pairing_succeeded();
  /// The body parts lost and not reported back since, in ascending body-part code order.
  std::vector<BodyPart> body_parts() const;

 private:
  static constexpr unsigned kSinceShift = 16;
  static_assert(kBodyPartCount <= kSinceShift);
  static constexpr std::uint32_t kLostMask = (std::uint32_t{1} << kSinceShift) - 1;

  /// Low half: lost now. High half: lost since the latest pairing began. One word, so that a
  /// pairing ending while an event comes in keeps that event, whichever lands first.
  std::atomic<std::uint32_t> bits_{0};
};

}  // namespace sorvel
