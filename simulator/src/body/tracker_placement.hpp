#pragma once
// How each tracker sits on the person and sees the world: strapped on at an angle of its own
// (mounting), in a gravity-aligned world of its own (Z up, its own heading zero, drifting).
//
// What a tracker reports: heading(t) * kUp * segment * mounting.

#include <array>
#include <numbers>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator::body {

/// Body coordinates (Y up) into a tracker's world (Z up): body Y to world Z, body Z to world -Y.
inline const pose::Quaternion kUp =
    pose::Quaternion::from_axis_angle({1.0, 0.0, 0.0}, std::numbers::pi / 2.0);

class TrackerPlacement {
 public:
  /// Mountings, heading zeros and drift rates drawn from `body.seed` as `body` says.
  explicit TrackerPlacement(const BodyScenario& body);

  /// Tracker coordinates into segment coordinates.
  const pose::Quaternion& mounting(BodyPart part) const { return mountings_[index(part)]; }
  /// The tracker's heading at `seconds`: a turn about its world's Z.
  pose::Quaternion heading(BodyPart part, double seconds) const;

 private:
  static std::size_t index(BodyPart part) { return static_cast<std::size_t>(part); }

  std::array<pose::Quaternion, kBodyPartCount> mountings_{};
  std::array<double, kBodyPartCount> heading_zero_{};      ///< radians
  std::array<double, kBodyPartCount> drift_per_second_{};  ///< radians
};

}  // namespace sorvel::simulator::body
