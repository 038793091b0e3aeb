#pragma once
// What both calibration steps share: the reference trackers and the body's up.

#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/known_poses.hpp"
#include "sorvel/pose/result.hpp"

namespace sorvel::pose {

/// The reference trackers in order of preference: the trunk's and the head's stay nearest the
/// body's own heading.
inline constexpr BodyPart kReferences[] = {BodyPart::Chest, BodyPart::Hips, BodyPart::Head};

inline constexpr Vec3 kBodyUp{0.0, 1.0, 0.0};

/// The correction of a tracker taken to be strapped on square (no turn about its segment's up in
/// `pose`) that reported `held` there. It reports q = Up * Ry(h) * S0 * M, so Ry(h) is the twist
/// of Up^-1 * q * S0^-1 about Y.
inline Quaternion square_correction(const Quaternion& held, StandingPose pose, BodyPart part,
                                    WorldUp up) {
  const Quaternion up_turn = up_rotation(up);
  const Quaternion seen = up_turn.conjugate() * held * standing_rotation(pose, part).conjugate();
  return (up_turn * twist_about(seen, kBodyUp)).normalized();
}

}  // namespace sorvel::pose
