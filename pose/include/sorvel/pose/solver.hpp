#pragma once
// The solver: one poll's reported orientations, through a calibration, into the body's pose.

#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/kinematics.hpp"
#include "sorvel/pose/orientations.hpp"
#include "sorvel/pose/skeleton.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

/// The body at one instant, every segment in the body frame.
struct Pose {
  SegmentRotations rotations{};        ///< the segment in the body frame
  SegmentRotations local_rotations{};  ///< relative to the parent segment (the hips': as above)
  JointPositions positions{};          ///< metres: where the segment joins its parent
  JointPositions ends{};               ///< metres: the segment's far end, for drawing

  const Quaternion& rotation(BodyPart part) const { return rotations[index_of(part)]; }
  const Quaternion& local_rotation(BodyPart part) const { return local_rotations[index_of(part)]; }
  const Vec3& position(BodyPart part) const { return positions[index_of(part)]; }
  const Vec3& end(BodyPart part) const { return ends[index_of(part)]; }
};

/// Fills everything of `pose` from its `rotations` (already set) and the lengths.
void complete_pose(const Proportions& proportions, Pose& pose);

/// Every calibrated, present tracker gives its segment's rotation; any other segment follows its
/// parent (the hips stay upright). Allocates nothing.
void solve(const Calibration& calibration, const Proportions& proportions,
           const Orientations& reported, Pose& pose);

inline Pose solve(const Calibration& calibration, const Proportions& proportions,
                  const Orientations& reported) {
  Pose pose;
  solve(calibration, proportions, reported, pose);
  return pose;
}

}  // namespace sorvel::pose
