#pragma once
// The poses a person stands in to calibrate, and how a tracker's world sits against the body
// frame.

#include <cstdint>
#include <numbers>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

/// The first calibration pose: "I" (arms down) or "T" (arms out, the rest pose).
enum class StandingPose : std::uint8_t { I, T };

/// Which axis of a tracker's own world points up (against gravity).
enum class WorldUp : std::uint8_t { Z, Y };

inline constexpr bool is_arm(BodyPart part) {
  switch (part) {
    case BodyPart::LeftUpperArm:
    case BodyPart::LeftLowerArm:
    case BodyPart::LeftHand:
    case BodyPart::RightUpperArm:
    case BodyPart::RightLowerArm:
    case BodyPart::RightHand:
      return true;
    default:
      return false;
  }
}

inline constexpr bool is_left(BodyPart part) {
  switch (part) {
    case BodyPart::LeftUpperArm:
    case BodyPart::LeftLowerArm:
    case BodyPart::LeftHand:
    case BodyPart::LeftUpperLeg:
    case BodyPart::LeftLowerLeg:
    case BodyPart::LeftFoot:
      return true;
    default:
      return false;
  }
}

/// `part`'s rotation in the body frame while standing in `pose`. In the I-pose the arms hang:
/// the left ones turned a quarter turn clockwise about Z (seen from the front), the right ones
/// the other way.
inline Quaternion standing_rotation(StandingPose pose, BodyPart part) {
  if (pose == StandingPose::T || !is_arm(part)) return Quaternion::identity();
  const double quarter = std::numbers::pi / 2.0;
  return Quaternion::from_axis_angle({0.0, 0.0, 1.0}, is_left(part) ? -quarter : quarter);
}

/// Which way about the body's X axis `part` turns going from the I-pose into the ski pose: +1 for
/// the trunk, the head and the shins (leaning forward), -1 for the thighs and the arms (swinging
/// forward), 0 for the feet (flat on the floor).
inline constexpr int ski_turn_sign(BodyPart part) {
  switch (part) {
    case BodyPart::Hips:
    case BodyPart::Chest:
    case BodyPart::Head:
    case BodyPart::LeftLowerLeg:
    case BodyPart::RightLowerLeg:
      return 1;
    case BodyPart::LeftFoot:
    case BodyPart::RightFoot:
      return 0;
    default:
      return -1;
  }
}

/// `part` in the ski pose with every turn `radians` large.
inline Quaternion ski_rotation(BodyPart part, double radians) {
  const Quaternion lean =
      Quaternion::from_axis_angle({1.0, 0.0, 0.0}, ski_turn_sign(part) * radians);
  return lean * standing_rotation(StandingPose::I, part);
}

/// The turn taking body coordinates (Y up) into a tracker world's with the heading zero.
inline Quaternion up_rotation(WorldUp up) {
  if (up == WorldUp::Y) return Quaternion::identity();
  return Quaternion::from_axis_angle({1.0, 0.0, 0.0}, std::numbers::pi / 2.0);
}

/// Up in a tracker's world.
inline constexpr Vec3 up_vector(WorldUp up) {
  return up == WorldUp::Y ? Vec3{0.0, 1.0, 0.0} : Vec3{0.0, 0.0, 1.0};
}

}  // namespace sorvel::pose
