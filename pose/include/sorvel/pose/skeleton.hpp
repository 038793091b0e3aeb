#pragma once
// The body's skeleton: fifteen segments, one per body part, hung from the hips, and where each
// joint sits in the rest pose (the T-pose, every segment's rotation the identity).
//
// Body frame: right-handed, Y up, the person facing +Z, +X to the person's left. A segment's
// position is its joint, where it joins its parent; the hips' is the hip centre.

#include <array>
#include <cstddef>
#include <optional>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

inline constexpr std::size_t index_of(BodyPart part) {
  return static_cast<std::size_t>(part);
}

/// The parent of every segment; the hips have none.
inline constexpr std::optional<BodyPart> parent_of(BodyPart part) {
  switch (part) {
    case BodyPart::Hips:
      return std::nullopt;
    case BodyPart::Chest:
    case BodyPart::LeftUpperLeg:
    case BodyPart::RightUpperLeg:
      return BodyPart::Hips;
    case BodyPart::Head:
    case BodyPart::LeftUpperArm:
    case BodyPart::RightUpperArm:
      return BodyPart::Chest;
    case BodyPart::LeftLowerArm:
      return BodyPart::LeftUpperArm;
    case BodyPart::RightLowerArm:
      return BodyPart::RightUpperArm;
    case BodyPart::LeftHand:
      return BodyPart::LeftLowerArm;
    case BodyPart::RightHand:
      return BodyPart::RightLowerArm;
    case BodyPart::LeftLowerLeg:
      return BodyPart::LeftUpperLeg;
    case BodyPart::RightLowerLeg:
      return BodyPart::RightUpperLeg;
    case BodyPart::LeftFoot:
      return BodyPart::LeftLowerLeg;
    case BodyPart::RightFoot:
      return BodyPart::RightLowerLeg;
  }
  return std::nullopt;
}

/// Every segment after its parent: an order to walk the skeleton from the hips outwards.
inline constexpr std::array<BodyPart, kBodyPartCount> kParentsFirst{
    BodyPart::Hips,          BodyPart::Chest,         BodyPart::Head,
    BodyPart::LeftUpperArm,  BodyPart::LeftLowerArm,  BodyPart::LeftHand,
    BodyPart::RightUpperArm, BodyPart::RightLowerArm, BodyPart::RightHand,
    BodyPart::LeftUpperLeg,  BodyPart::LeftLowerLeg,  BodyPart::LeftFoot,
    BodyPart::RightUpperLeg, BodyPart::RightLowerLeg, BodyPart::RightFoot,
};

/// Segment lengths in metres. The defaults are fractions of the height, after the usual
/// anthropometric tables; any of them may be set on its own.
struct Proportions {
  double pelvis = 0.0;          ///< hip centre up to the chest joint
  double spine = 0.0;           ///< chest joint up to the neck and the shoulders' height
  double head = 0.0;            ///< neck to the top of the head
  double shoulder_width = 0.0;  ///< shoulder joint to shoulder joint
  double upper_arm = 0.0;
  double lower_arm = 0.0;
  double hand = 0.0;
  double hip_width = 0.0;  ///< hip joint to hip joint
  double upper_leg = 0.0;
  double lower_leg = 0.0;
  double ankle_height = 0.0;  ///< ankle above the floor, foot flat
  double foot = 0.0;          ///< ankle to toe, along the floor

  static constexpr Proportions from_height(double height) {
    return {0.100 * height, 0.188 * height, 0.182 * height, 0.258 * height,
            0.186 * height, 0.146 * height, 0.108 * height, 0.191 * height,
            0.245 * height, 0.246 * height, 0.039 * height, 0.152 * height};
  }
};

/// Where `part`'s joint sits relative to its parent's joint in the rest pose, body frame; for the
/// hips, nothing (their place comes from the feet).
constexpr Vec3 rest_offset(const Proportions& p, BodyPart part) {
  switch (part) {
    case BodyPart::Hips:
      return {};
    case BodyPart::Chest:
      return {0.0, p.pelvis, 0.0};
    case BodyPart::Head:
      return {0.0, p.spine, 0.0};
    case BodyPart::LeftUpperArm:
      return {p.shoulder_width / 2.0, p.spine, 0.0};
    case BodyPart::RightUpperArm:
      return {-p.shoulder_width / 2.0, p.spine, 0.0};
    case BodyPart::LeftLowerArm:
      return {p.upper_arm, 0.0, 0.0};
    case BodyPart::RightLowerArm:
      return {-p.upper_arm, 0.0, 0.0};
    case BodyPart::LeftHand:
      return {p.lower_arm, 0.0, 0.0};
    case BodyPart::RightHand:
      return {-p.lower_arm, 0.0, 0.0};
    case BodyPart::LeftUpperLeg:
      return {p.hip_width / 2.0, 0.0, 0.0};
    case BodyPart::RightUpperLeg:
      return {-p.hip_width / 2.0, 0.0, 0.0};
    case BodyPart::LeftLowerLeg:
    case BodyPart::RightLowerLeg:
      return {0.0, -p.upper_leg, 0.0};
    case BodyPart::LeftFoot:
    case BodyPart::RightFoot:
      return {0.0, -p.lower_leg, 0.0};
  }
  return {};
}

/// From `part`'s joint to its far end in the rest pose (the next joint, or the tip of a head,
/// hand or foot): the segment's long axis, for drawing and for mounting a tracker along it.
constexpr Vec3 rest_extent(const Proportions& p, BodyPart part) {
  switch (part) {
    case BodyPart::Hips:
      return {0.0, p.pelvis, 0.0};
    case BodyPart::Chest:
      return {0.0, p.spine, 0.0};
    case BodyPart::Head:
      return {0.0, p.head, 0.0};
    case BodyPart::LeftUpperArm:
      return {p.upper_arm, 0.0, 0.0};
    case BodyPart::RightUpperArm:
      return {-p.upper_arm, 0.0, 0.0};
    case BodyPart::LeftLowerArm:
      return {p.lower_arm, 0.0, 0.0};
    case BodyPart::RightLowerArm:
      return {-p.lower_arm, 0.0, 0.0};
    case BodyPart::LeftHand:
      return {p.hand, 0.0, 0.0};
    case BodyPart::RightHand:
      return {-p.hand, 0.0, 0.0};
    case BodyPart::LeftUpperLeg:
    case BodyPart::RightUpperLeg:
      return {0.0, -p.upper_leg, 0.0};
    case BodyPart::LeftLowerLeg:
    case BodyPart::RightLowerLeg:
      return {0.0, -p.lower_leg, 0.0};
    case BodyPart::LeftFoot:
    case BodyPart::RightFoot:
      return {0.0, 0.0, p.foot};
  }
  return {};
}

}  // namespace sorvel::pose
