#include "poses.hpp"

#include <algorithm>
#include <cmath>

#include "sorvel/pose/skeleton.hpp"

namespace sorvel::simulator::body {

namespace {

using pose::index_of;
using pose::Quaternion;

constexpr std::array kLeftArm{BodyPart::LeftUpperArm, BodyPart::LeftLowerArm, BodyPart::LeftHand};
constexpr std::array kRightArm{BodyPart::RightUpperArm, BodyPart::RightLowerArm,
                               BodyPart::RightHand};

Quaternion& at(Segments& segments, BodyPart part) {
  return segments[index_of(part)];
}

/// Arms down: each arm's segments a quarter turn about Z from the rest pose's arms out.
Segments i_pose() {
  Segments s{};
  for (BodyPart part : kLeftArm) at(s, part) = turn_z(-90.0);
  for (BodyPart part : kRightArm) at(s, part) = turn_z(90.0);
  return s;
}

/// Knees bent forward, body leaning forward, arms raised in front, feet flat.
Segments ski_pose() {
  Segments s = i_pose();
  auto lean = [&](BodyPart part, double degrees) { at(s, part) = turn_x(degrees) * at(s, part); };
  lean(BodyPart::Hips, 25.0);
  lean(BodyPart::Chest, 30.0);
  lean(BodyPart::Head, 20.0);
  for (BodyPart part : {BodyPart::LeftUpperLeg, BodyPart::RightUpperLeg}) lean(part, -45.0);
  for (BodyPart part : {BodyPart::LeftLowerLeg, BodyPart::RightLowerLeg}) lean(part, 45.0);
  for (BodyPart part : kLeftArm) lean(part, -30.0);
  for (BodyPart part : kRightArm) lean(part, -30.0);
  return s;
}

double wave(double seconds, double period, double phase = 0.0) {
  return std::sin(2.0 * std::numbers::pi * seconds / period + phase);
}

/// Standing at ease: the trunk and head drift a few degrees, the arms hang and swing a little.
Segments sway(double t) {
  Segments s = i_pose();
  at(s, BodyPart::Hips) = turn_x(3.0 * wave(t, 5.0)) * turn_z(2.0 * wave(t, 7.0, 1.0));
  at(s, BodyPart::Chest) = turn_x(5.0 * wave(t, 5.0, 0.6)) * turn_z(3.0 * wave(t, 6.0, 2.0));
  at(s, BodyPart::Head) = turn_y(15.0 * wave(t, 9.0)) * turn_x(8.0 * wave(t, 4.0, 1.5));
  for (BodyPart part : kLeftArm) at(s, part) = turn_x(6.0 * wave(t, 5.0, 0.3)) * at(s, part);
  for (BodyPart part : kRightArm) at(s, part) = turn_x(6.0 * wave(t, 5.0, 2.3)) * at(s, part);
  at(s, BodyPart::LeftUpperLeg) = turn_x(-2.0 * wave(t, 6.0));
  at(s, BodyPart::RightUpperLeg) = turn_x(-2.0 * wave(t, 6.0, 3.0));
  return s;
}

/// Marching on the spot: each thigh lifts in turn with its knee bent, the arms swing opposite.
Segments walk(double t) {
  constexpr double kStride = 1.2;  // seconds for a left and a right step
  Segments s = i_pose();
  const double phase = wave(t, kStride);
  auto leg = [&](BodyPart upper, BodyPart lower, BodyPart foot, double lift) {
    // Squared so that a leg leaves and meets the floor without a jolt.
    const double thigh = 50.0 * lift * lift;
    at(s, upper) = turn_x(-thigh);
    at(s, lower) = turn_x(0.6 * thigh);
    at(s, foot) = turn_x(0.3 * thigh);
  };
  leg(BodyPart::LeftUpperLeg, BodyPart::LeftLowerLeg, BodyPart::LeftFoot, std::max(0.0, phase));
  leg(BodyPart::RightUpperLeg, BodyPart::RightLowerLeg, BodyPart::RightFoot, std::max(0.0, -phase));
  auto arm = [&](const std::array<BodyPart, 3>& parts, double swing) {
    const Quaternion upper = turn_x(swing);
    at(s, parts[0]) = upper * at(s, parts[0]);
    // Elbows bent forward, hands in line with the forearms.
    at(s, parts[1]) = turn_x(swing - 35.0) * at(s, parts[1]);
    at(s, parts[2]) = at(s, parts[1]);
  };
  arm(kLeftArm, 25.0 * phase);
  arm(kRightArm, -25.0 * phase);
  at(s, BodyPart::Hips) = turn_y(5.0 * phase);
  at(s, BodyPart::Chest) = turn_y(-4.0 * phase) * turn_x(3.0);
  return s;
}

/// Both arms from hanging to nearly straight up and back, out to the sides and in front by
/// turns.
Segments arm_raises(double t) {
  constexpr double kPeriod = 4.0;
  Segments s = i_pose();
  const double raised = 85.0 * (1.0 - std::cos(2.0 * std::numbers::pi * t / kPeriod));
  const bool to_the_front = static_cast<long>(std::floor(t / kPeriod)) % 2 != 0;
  const Quaternion left = to_the_front ? turn_x(-raised) : turn_z(raised);
  const Quaternion right = to_the_front ? turn_x(-raised) : turn_z(-raised);
  for (BodyPart part : kLeftArm) at(s, part) = left * at(s, part);
  for (BodyPart part : kRightArm) at(s, part) = right * at(s, part);
  at(s, BodyPart::Head) = turn_x(-10.0 * (raised / 170.0));  // looking up after the hands
  return s;
}

/// Whole turns on the spot, one every six seconds or so, starting and ending at rest.
Segments turn(double t, double length) {
  const double turns = std::max(1.0, std::round(length / 6.0));
  const double yaw = 360.0 * turns * ease(length > 0.0 ? t / length : 1.0);
  return turned(turn_y(yaw), sway(t));
}

}  // namespace

Segments held(HeldPose pose) {
  switch (pose) {
    case HeldPose::T:
      return Segments{};
    case HeldPose::I:
      return i_pose();
    case HeldPose::Ski:
      return ski_pose();
  }
  return Segments{};
}

Segments moving(BodyMotion motion, double seconds, double length) {
  switch (motion) {
    case BodyMotion::Sway:
      return sway(seconds);
    case BodyMotion::Walk:
      return walk(seconds);
    case BodyMotion::ArmRaises:
      return arm_raises(seconds);
    case BodyMotion::Turn:
      return turn(seconds, length);
  }
  return Segments{};
}

}  // namespace sorvel::simulator::body
