#pragma once
// Which paired trackers are out of reach, as the receiver's TrackerLost / TrackerRestored events
// tell it: what a live view shows beside the frames.

#include <atomic>
#include <cstdint>
#include <span>
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
  /// The pairing begun last succeeded with trackers on `paired`: only what was reported since
  /// it began still holds, and only about those body parts.
  void pairing_succeeded(std::span<const BodyPart> paired);
  /// The paired body parts lost and not reported back since, in ascending body-part code order.
  std::vector<BodyPart> body_parts() const;
  /// The body parts of the latest successful pairing, in ascending body-part code order.
  std::vector<BodyPart> paired() const;

 private:
  static constexpr unsigned kSinceShift = 16;
  static constexpr unsigned kPairedShift = 32;
  static_assert(kBodyPartCount <= kSinceShift);
  static constexpr std::uint64_t kPartsMask = (std::uint64_t{1} << kSinceShift) - 1;
  static constexpr std::uint64_t kLostMask = kPartsMask;
  static constexpr std::uint64_t kSinceMask = kPartsMask << kSinceShift;
  static constexpr std::uint64_t kPairedMask = kPartsMask << kPairedShift;
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

  /// Bits 0-15: lost now. 16-31: lost since the latest pairing began. 32-47: the body parts of
  /// the latest successful pairing. The receiver reports losses of trackers it no longer serves
  /// too, so they are recorded as they come and filtered when read. One word, so that a pairing
  /// ending while an event comes in keeps that event, whichever lands first.
  std::atomic<std::uint64_t> bits_{0};
};

}  // namespace sorvel
