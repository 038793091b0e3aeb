#pragma once
// What both calibration steps share: the reference trackers and the body's up.

#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/result.hpp"

namespace sorvel::pose {

/// The reference trackers in order of preference: the trunk's and the head's stay nearest the
/// body's own heading.
inline constexpr BodyPart kReferences[] = {BodyPart::Chest, BodyPart::Hips, BodyPart::Head};

inline constexpr Vec3 kBodyUp{0.0, 1.0, 0.0};

}  // namespace sorvel::pose
