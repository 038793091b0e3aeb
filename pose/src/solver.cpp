#include "sorvel/pose/solver.hpp"

namespace sorvel::pose {

void complete_pose(const Proportions& proportions, Pose& pose) {
  for (const BodyPart part : kParentsFirst) {
    const std::size_t i = index_of(part);
    const auto parent = parent_of(part);
    pose.local_rotations[i] =
        parent ? pose.rotations[index_of(*parent)].conjugate() * pose.rotations[i]
               : pose.rotations[i];
  }
  pose.positions = joint_positions(pose.rotations, proportions);
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    pose.ends[i] = pose.positions[i] +
                   pose.rotations[i].rotate(rest_extent(proportions, static_cast<BodyPart>(i)));
  }
}

void solve(const Calibration& calibration, const Proportions& proportions,
           const Orientations& reported, Pose& pose) {
  for (const BodyPart part : kParentsFirst) {
    const std::size_t i = index_of(part);
    const TrackerCalibration& tracker = calibration.at(part);
    if (tracker.calibrated && reported.has(part)) {
      pose.rotations[i] = segment_rotation(tracker, reported.at(part)).normalized();
    } else if (const auto parent = parent_of(part)) {
      pose.rotations[i] = pose.rotations[index_of(*parent)];
    } else {
      pose.rotations[i] = Quaternion::identity();
    }
  }
  complete_pose(proportions, pose);
}

}  // namespace sorvel::pose
