#include "sorvel/pose/solver.hpp"

#include <gtest/gtest.h>

#include "worn_kit.hpp"

namespace sorvel::pose {
namespace {

using namespace testing;

void expect_near(const Vec3& actual, const Vec3& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-12);
  EXPECT_NEAR(actual.y, expected.y, 1e-12);
  EXPECT_NEAR(actual.z, expected.z, 1e-12);
}

Pose pose_of(const SegmentRotations& rotations, const Proportions& p) {
  Pose pose;
  pose.rotations = rotations;
  complete_pose(p, pose);
  return pose;
}

TEST(Kinematics, PlacesJointsAndEndsOfTheKnownPoses) {
  const Proportions p = Proportions::from_height(1.75);
  const double hips = p.upper_leg + p.lower_leg + p.ankle_height;
  const double shoulders = hips + p.pelvis + p.spine;
  const double arm_root = p.shoulder_width / 2.0;
  SegmentRotations left_knee_up = standing(StandingPose::T);
  left_knee_up[index_of(BodyPart::LeftUpperLeg)] = turn({1, 0, 0}, -90);
  struct Case {
    const char* what;
    SegmentRotations rotations;
    BodyPart part;
    Vec3 joint, end;
  };
  const Case cases[] = {
      {"T: hips over the origin",
       standing(StandingPose::T),
       BodyPart::Hips,
       {0, hips, 0},
       {0, hips + p.pelvis, 0}},
      {"T: left hand out to +X",
       standing(StandingPose::T),
       BodyPart::LeftHand,
       {arm_root + p.upper_arm + p.lower_arm, shoulders, 0},
       {arm_root + p.upper_arm + p.lower_arm + p.hand, shoulders, 0}},
      {"T: right hand out to -X",
       standing(StandingPose::T),
       BodyPart::RightHand,
       {-arm_root - p.upper_arm - p.lower_arm, shoulders, 0},
       {-arm_root - p.upper_arm - p.lower_arm - p.hand, shoulders, 0}},
      {"T: head on top",
       standing(StandingPose::T),
       BodyPart::Head,
       {0, shoulders, 0},
       {0, shoulders + p.head, 0}},
      {"T: toes forward",
       standing(StandingPose::T),
       BodyPart::RightFoot,
       {-p.hip_width / 2.0, p.ankle_height, 0},
       {-p.hip_width / 2.0, p.ankle_height, p.foot}},
      {"I: left hand hangs",
       standing(StandingPose::I),
       BodyPart::LeftHand,
       {arm_root, shoulders - p.upper_arm - p.lower_arm, 0},
       {arm_root, shoulders - p.upper_arm - p.lower_arm - p.hand, 0}},
      {"I: right hand hangs",
       standing(StandingPose::I),
       BodyPart::RightHand,
       {-arm_root, shoulders - p.upper_arm - p.lower_arm, 0},
       {-arm_root, shoulders - p.upper_arm - p.lower_arm - p.hand, 0}},
      {"a knee raised forward leaves the hips on the other leg",
       left_knee_up,
       BodyPart::LeftFoot,
       {p.hip_width / 2.0, hips - p.lower_leg, p.upper_leg},
       {p.hip_width / 2.0, hips - p.lower_leg, p.upper_leg + p.foot}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Pose pose = pose_of(c.rotations, p);
    expect_near(pose.position(c.part), c.joint);
    expect_near(pose.end(c.part), c.end);
  }
}

TEST(KnownPoses, SkiPoseLeansTheTrunkAndSwingsTheLimbsForward) {
  // The far end of each segment, as a direction: forward is +Z, the left +X.
  struct Case {
    BodyPart part;
    double degrees;
    Vec3 direction;
  };
  const double c = std::cos(30 * kDegree), s = std::sin(30 * kDegree);
  const Case cases[] = {
      {BodyPart::Chest, 30, {0, c, s}},         {BodyPart::Head, 30, {0, c, s}},
      {BodyPart::LeftUpperArm, 30, {0, -c, s}}, {BodyPart::RightHand, 30, {0, -c, s}},
      {BodyPart::LeftUpperLeg, 30, {0, -c, s}}, {BodyPart::RightLowerLeg, 30, {0, -c, -s}},
      {BodyPart::LeftFoot, 30, {0, 0, 1}},      {BodyPart::LeftLowerArm, 0, {0, -1, 0}},
      {BodyPart::RightLowerArm, 0, {0, -1, 0}},
  };
  const Proportions p = Proportions::from_height(1.0);
  for (const auto& k : cases) {
    SCOPED_TRACE(name(k.part));
    const Vec3 extent = rest_extent(p, k.part);
    expect_near(ski_rotation(k.part, k.degrees * kDegree).rotate(extent) * (1.0 / extent.norm()),
                k.direction);
  }
}

TEST(Solver, SegmentsWithoutATrackerFollowTheirParents) {
  std::mt19937 random(5);
  const WornKit kit = random_kit(random, WorldUp::Z, false, true);
  const auto calibration =
      calibrate(hold_of(kit.report(standing(StandingPose::I))), StandingPose::I);
  ASSERT_TRUE(calibration);
  const SegmentRotations body = random_body(random, 1);
  Orientations reported = kit.report(body);
  reported.clear(BodyPart::LeftHand);
  reported.clear(BodyPart::Hips);
  Calibration partial = *calibration;
  partial.at(BodyPart::RightFoot).calibrated = false;

  const Pose pose = solve(partial, Proportions::from_height(1.7), reported);
  EXPECT_EQ(pose.rotation(BodyPart::Hips), Quaternion::identity());
  EXPECT_EQ(pose.rotation(BodyPart::LeftHand), pose.rotation(BodyPart::LeftLowerArm));
  EXPECT_EQ(pose.rotation(BodyPart::RightFoot), pose.rotation(BodyPart::RightLowerLeg));
  EXPECT_LT(angle_between(pose.local_rotation(BodyPart::LeftHand), Quaternion::identity()), 1e-6);
  EXPECT_LT(angle_between(pose.rotation(BodyPart::Chest), body[index_of(BodyPart::Chest)]), 1e-6);
  for (const BodyPart part : kParentsFirst) {
    const auto parent = parent_of(part);
    const Quaternion above = parent ? pose.rotation(*parent) : Quaternion::identity();
    EXPECT_LT(angle_between(above * pose.local_rotation(part), pose.rotation(part)), 1e-6);
  }
}

}  // namespace
}  // namespace sorvel::pose
