#include "tracker_placement.hpp"

#include "random.hpp"
#include "segments.hpp"
#include "sorvel/pose/skeleton.hpp"

namespace sorvel::simulator::body {

namespace {
constexpr double kMostTilt = 20.0 * kDegree;

/// Any turn about the limb's long axis, then tilted off it by up to kMostTilt.
pose::Quaternion random_mounting(Random& random, const pose::Vec3& long_axis) {
  // A limb set to no length has no long axis: any axis will do.
  const pose::Vec3 along = long_axis.norm() > 0.0 ? long_axis.normalized() : pose::Vec3{0, 1, 0};
  const pose::Quaternion twist =
      pose::Quaternion::from_axis_angle(along, random.uniform(0.0, 2.0 * std::numbers::pi));
  pose::Vec3 across = along.cross(random.direction());
  while (across.norm() < 1e-6) across = along.cross(random.direction());
  const pose::Quaternion tilt =
      pose::Quaternion::from_axis_angle(across, random.uniform(0.0, kMostTilt));
  return tilt * twist;
}
}  // namespace

TrackerPlacement::TrackerPlacement(const BodyScenario& body) {
  // One draw order for every setting, so that changing one setting leaves the others' draws.
  Random random(body.seed);
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    const pose::Quaternion drawn =
        random_mounting(random, pose::rest_extent(body.proportions, part));
    switch (body.mounting) {
      case MountingKind::Random:
        mountings_[i] = drawn;
        break;
      case MountingKind::Square:
        mountings_[i] = pose::Quaternion::identity();
        break;
      case MountingKind::Given:
        mountings_[i] = body.mountings[i];
        break;
    }
    const double own_heading = random.uniform(0.0, 2.0 * std::numbers::pi);
    heading_zero_[i] = body.shared_heading ? body.heading_deg * kDegree : own_heading;
    drift_per_second_[i] = random.uniform(-1.0, 1.0) * body.drift_deg_per_min * kDegree / 60.0;
  }
}

pose::Quaternion TrackerPlacement::heading(BodyPart part, double seconds) const {
  return pose::Quaternion::from_axis_angle(
      {0.0, 0.0, 1.0}, heading_zero_[index(part)] + drift_per_second_[index(part)] * seconds);
}

}  // namespace sorvel::simulator::body
