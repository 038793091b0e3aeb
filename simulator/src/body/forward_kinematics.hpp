#pragma once
// Where every joint is, given every segment's orientation: the skeleton's rest offsets turned by
// each parent, with the hips above the origin at the height that puts the lower ankle its
// height above the floor.

#include <array>

#include "segments.hpp"
#include "sorvel/pose/skeleton.hpp"

namespace sorvel::simulator::body {

using Joints = std::array<pose::Vec3, kBodyPartCount>;

Joints joint_positions(const pose::Proportions& proportions, const Segments& segments);

}  // namespace sorvel::simulator::body
