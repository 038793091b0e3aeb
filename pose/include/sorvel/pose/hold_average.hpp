#pragma once
// A still hold: the frames of every paired tracker over a second or so, averaged per body part,
// with a verdict on whether each part held still.

#include <array>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

#include "sorvel/pose/orientations.hpp"
#include "sorvel/pose/quaternion.hpp"
#include "sorvel/pose/result.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

/// A part whose frames stray further than this from their mean moved during the hold. Five
/// degrees is well above a still tracker's noise and well below a deliberate movement.
inline constexpr double kStillThreshold = 5.0 * std::numbers::pi / 180.0;

enum class HoldState : std::uint8_t {
  NotPaired,    ///< not expected and sent nothing: not part of the hold
  SentNothing,  ///< paired, but no frame arrived
  Moved,
  Still,
};

struct HeldPart {
  HoldState state = HoldState::NotPaired;
  Quaternion mean;                 ///< sign-aligned mean of the frames, normalised
  double largest_deviation = 0.0;  ///< radians, the furthest frame from the mean
  std::size_t frames = 0;
};

/// The outcome of a hold, per body part.
struct HoldSummary {
  std::array<HeldPart, kBodyPartCount> parts{};

  const HeldPart& at(BodyPart part) const { return parts[index_of(part)]; }
  HeldPart& at(BodyPart part) { return parts[index_of(part)]; }
};

/// The first reason `part`'s share of the hold does not count (it sent nothing or moved), if
/// any. A hold counts only if every tracker in it sent frames and held still.
std::optional<Error> hold_refusal(const HoldSummary& hold, BodyPart part);

class HoldAverage {
 public:
  explicit HoldAverage(double still_threshold = kStillThreshold)
      : still_threshold_(still_threshold) {}

  /// Marks `part` as paired: it must send frames for the hold to count.
  void expect(BodyPart part) { expected_ = static_cast<std::uint16_t>(expected_ | bit(part)); }
  /// One frame of `part` (which is then paired too).
  void add(BodyPart part, const Quaternion& q);
  /// Every present part of one poll.
  void add(const Orientations& frame);

  HoldSummary summary() const;

 private:
  static constexpr std::uint16_t bit(BodyPart part) {
    return static_cast<std::uint16_t>(1u << index_of(part));
  }

  double still_threshold_;
  std::uint16_t expected_ = 0;
  std::array<std::vector<Quaternion>, kBodyPartCount> frames_;
};

}  // namespace sorvel::pose
