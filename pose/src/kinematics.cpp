#include "sorvel/pose/kinematics.hpp"

#include <algorithm>

namespace sorvel::pose {

JointPositions joint_positions(const SegmentRotations& rotations, const Proportions& proportions) {
  JointPositions joints{};
  for (const BodyPart part : kParentsFirst) {
    const auto parent = parent_of(part);
    if (!parent) continue;  // the hips start at the origin, lifted below
    const std::size_t p = index_of(*parent);
    joints[index_of(part)] = joints[p] + rotations[p].rotate(rest_offset(proportions, part));
  }
  const double lowest_ankle =
      std::min(joints[index_of(BodyPart::LeftFoot)].y, joints[index_of(BodyPart::RightFoot)].y);
  const Vec3 lift{0.0, proportions.ankle_height - lowest_ankle, 0.0};
  for (auto& joint : joints) joint = joint + lift;
  return joints;
}

}  // namespace sorvel::pose
