#pragma once
// A model of trackers strapped onto a body, for the tests: what each tracker would report for a
// given body pose, q = Heading * Up * Facing * S * M, with every unknown drawn from a seed.

#include <numbers>
#include <random>

#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/kinematics.hpp"
#include "sorvel/pose/known_poses.hpp"
#include "sorvel/pose/orientations.hpp"
#include "sorvel/pose/solver.hpp"

namespace sorvel::pose::testing {

inline constexpr double kDegree = std::numbers::pi / 180.0;

inline Quaternion turn(const Vec3& axis, double degrees) {
  return Quaternion::from_axis_angle(axis, degrees * kDegree);
}

struct WornKit {
  WorldUp up = WorldUp::Z;
  double facing = 0.0;                            ///< radians about the body's up, every segment
  std::array<double, kBodyPartCount> headings{};  ///< radians about each tracker world's up
  std::array<Quaternion, kBodyPartCount> mountings{};  ///< segment <- tracker

  Orientations report(const SegmentRotations& body) const {
    Orientations reported;
    const Quaternion face = Quaternion::from_axis_angle({0, 1, 0}, facing);
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      const Quaternion heading = Quaternion::from_axis_angle(up_vector(up), headings[i]);
      reported.set(static_cast<BodyPart>(i),
                   heading * up_rotation(up) * face * body[i] * mountings[i]);
    }
    return reported;
  }
};

/// Any turn about the segment's long axis, then a tilt of up to 20 degrees; a square one has no
/// turn about the vertical and tilts about a horizontal axis (the trunk's long axis is vertical).
inline Quaternion random_mounting(std::mt19937& random, BodyPart part, bool square) {
  std::uniform_real_distribution<double> any(-180.0, 180.0), tilt(0.0, 20.0);
  std::normal_distribution<double> normal;
  const Vec3 long_axis = rest_extent(Proportions::from_height(1.0), part).normalized();
  const Vec3 sideways =
      long_axis.cross(Vec3{normal(random), normal(random), normal(random)}).normalized();
  const Quaternion twist = square ? Quaternion::identity() : turn(long_axis, any(random));
  return turn(sideways, tilt(random)) * twist;
}

inline WornKit random_kit(std::mt19937& random, WorldUp up, bool own_headings,
                          bool square_reference) {
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  WornKit kit;
  kit.up = up;
  kit.facing = angle(random);
  const double shared = angle(random);
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    kit.headings[i] = own_headings ? angle(random) : shared;
    kit.mountings[i] = random_mounting(random, part, square_reference && part == BodyPart::Chest);
  }
  return kit;
}

inline SegmentRotations standing(StandingPose pose) {
  SegmentRotations body;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    body[i] = standing_rotation(pose, static_cast<BodyPart>(i));
  }
  return body;
}

inline SegmentRotations skiing(double degrees) {
  SegmentRotations body;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    body[i] = ski_rotation(static_cast<BodyPart>(i), degrees * kDegree);
  }
  return body;
}

/// Any rotation for every segment; every other body has both arms within a hair of straight up.
inline SegmentRotations random_body(std::mt19937& random, int n) {
  std::normal_distribution<double> normal;
  SegmentRotations body;
  for (auto& q : body) {
    q = Quaternion{normal(random), normal(random), normal(random), normal(random)}.normalized();
  }
  if (n % 2 == 0) {
    const double hair = 1e-4 * normal(random);
    const Vec3 z{0, 0, 1}, x{1, 0, 0};
    body[index_of(BodyPart::LeftUpperArm)] = turn(z, 90 + hair) * turn(x, 180 * normal(random));
    body[index_of(BodyPart::RightUpperArm)] = turn(z, -90 + hair) * turn(x, 180 * normal(random));
  }
  return body;
}

/// A still hold of a few identical frames.
inline HoldSummary hold_of(const Orientations& frame) {
  HoldAverage hold;
  for (int i = 0; i < 3; ++i) hold.add(frame);
  return hold.summary();
}

/// The largest angle, in degrees, between a solved segment and the true one.
inline double largest_error(const Pose& pose, const SegmentRotations& truth) {
  double largest = 0.0;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    largest = std::max(largest, angle_between(pose.rotations[i], truth[i]) / kDegree);
  }
  return largest;
}

}  // namespace sorvel::pose::testing
