#include "forward_kinematics.hpp"

#include <algorithm>

namespace sorvel::simulator::body {

Joints joint_positions(const pose::Proportions& proportions, const Segments& segments) {
  using pose::index_of;
  Joints joints{};
  for (BodyPart part : pose::kParentsFirst) {
    const auto parent = pose::parent_of(part);
    if (!parent) continue;  // the hips, at the origin until lifted
    joints[index_of(part)] = joints[index_of(*parent)] + segments[index_of(*parent)].rotate(
                                                             pose::rest_offset(proportions, part));
  }
  const double lowest_ankle =
      std::min(joints[index_of(BodyPart::LeftFoot)].y, joints[index_of(BodyPart::RightFoot)].y);
  const pose::Vec3 lift{0.0, proportions.ankle_height - lowest_ankle, 0.0};
  for (pose::Vec3& joint : joints) joint = joint + lift;
  return joints;
}

}  // namespace sorvel::simulator::body
