#pragma once
// Forward kinematics: segment rotations and lengths in, joint positions out. The one place the
// project turns a body's rotations into where its joints are (the solver, the simulated body's
// ground truth and the views share it).

#include <array>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/pose/skeleton.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

/// Per body part (indexed by index_of), in the body frame.
using SegmentRotations = std::array<Quaternion, kBodyPartCount>;
using JointPositions = std::array<Vec3, kBodyPartCount>;

/// Every joint in metres, body frame. The hips stay above the origin (x = z = 0), high enough to
/// put the lower of the two ankles `ankle_height` above the floor (y = 0).
JointPositions joint_positions(const SegmentRotations& rotations, const Proportions& proportions);

}  // namespace sorvel::pose
