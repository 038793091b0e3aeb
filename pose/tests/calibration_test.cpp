#include "sorvel/pose/calibration.hpp"

#include <gtest/gtest.h>

#include "sorvel/pose/solver.hpp"
#include "worn_kit.hpp"

namespace sorvel::pose {
namespace {

using namespace testing;

struct Setup {
  StandingPose pose;
  WorldUp up;
};
constexpr Setup kSetups[] = {{StandingPose::I, WorldUp::Z},
                             {StandingPose::T, WorldUp::Z},
                             {StandingPose::I, WorldUp::Y},
                             {StandingPose::T, WorldUp::Y}};

Proportions random_proportions(std::mt19937& random) {
  std::uniform_real_distribution<double> height(1.4, 2.0);
  return Proportions::from_height(height(random));
}

// The largest errors over a run of random bodies: of any segment's rotation (degrees) and of any
// joint's position (metres).
struct Errors {
  double degrees = 0.0;
  double metres = 0.0;
};

Errors largest_errors_over_bodies(std::mt19937& random, const WornKit& kit,
                                  const Calibration& calibration) {
  const Proportions proportions = random_proportions(random);
  Errors largest;
  for (int n = 0; n < 20; ++n) {
    const SegmentRotations body = random_body(random, n);
    const Pose pose = solve(calibration, proportions, kit.report(body));
    largest.degrees = std::max(largest.degrees, largest_error(pose, body));
    const JointPositions joints = joint_positions(body, proportions);
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      largest.metres = std::max(largest.metres, (pose.positions[i] - joints[i]).norm());
    }
  }
  return largest;
}

TEST(Calibration, OneStepSolvesAnyPoseOnlyWhenTrackersShareAHeading) {
  std::mt19937 random(1);
  for (const auto& setup : kSetups) {
    for (int trial = 0; trial < 10; ++trial) {
      // The first pose is upright for the trunk and vertical for every limb: a tracker's own
      // heading and a turn of its strap about the vertical look alike, and only the ski pose
      // separates them.
      const bool own_headings = trial % 5 == 0;
      const WornKit kit = random_kit(random, setup.up, own_headings, true);
      const auto calibration =
          calibrate(hold_of(kit.report(standing(setup.pose))), setup.pose, setup.up);
      ASSERT_TRUE(calibration) << calibration.error().message;
      const Errors errors = largest_errors_over_bodies(random, kit, *calibration);
      if (own_headings) {
        EXPECT_GT(errors.degrees, 20.0);
        continue;
      }
      EXPECT_LT(errors.degrees, 0.01);
      EXPECT_LT(errors.metres, 1e-6);
    }
  }
}

TEST(Calibration, SkiStepSolvesAnyPoseWithOwnHeadingsAndAnyStrap) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> ski_angle(20.0, 45.0);
  std::uniform_real_distribution<double> any(-180.0, 180.0);
  for (const auto& setup : kSetups) {
    for (int trial = 0; trial < 10; ++trial) {
      // Feet stay flat in the ski pose, so nothing tells a foot's heading from its strap's turn
      // about the vertical: in a kit sharing one heading they take the chest's, and where each
      // tracker has its own, a tracker lying along the foot, rolled any way about it, is found.
      const bool own_headings = trial % 2 == 1;
      WornKit kit = random_kit(random, setup.up, own_headings, false);
      for (BodyPart foot : {BodyPart::LeftFoot, BodyPart::RightFoot}) {
        if (!own_headings) continue;
        kit.mountings[index_of(foot)] = turn({0.0, 0.0, 1.0}, any(random));
      }
      const auto first = calibrate(hold_of(kit.report(standing(setup.pose))), setup.pose, setup.up);
      ASSERT_TRUE(first) << first.error().message;
      const auto refined =
          calibrate_mounting(*first, hold_of(kit.report(skiing(ski_angle(random)))));
      ASSERT_TRUE(refined) << refined.error().message;
      EXPECT_TRUE(refined->mounting_refined);
      const Errors errors = largest_errors_over_bodies(random, kit, *refined);
      EXPECT_LT(errors.degrees, 0.01);
      EXPECT_LT(errors.metres, 1e-6);
    }
  }
}

TEST(Calibration, ResetHeadingUndoesEachTrackersDrift) {
  std::mt19937 random(4);
  std::uniform_real_distribution<double> drift(-0.5, 0.5);
  for (const auto& setup : kSetups) {
    WornKit kit = random_kit(random, setup.up, false, true);
    const auto calibration =
        calibrate(hold_of(kit.report(standing(setup.pose))), setup.pose, setup.up);
    ASSERT_TRUE(calibration);
    for (auto& heading : kit.headings) heading += drift(random);
    EXPECT_GT(largest_errors_over_bodies(random, kit, *calibration).degrees, 1.0);

    const Calibration reset = reset_heading(*calibration, kit.report(standing(setup.pose)));
    EXPECT_LT(largest_errors_over_bodies(random, kit, reset).degrees, 0.01);
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      EXPECT_EQ(reset.trackers[i].mounting, calibration->trackers[i].mounting);
    }
  }
}

TEST(Calibration, RefusesHoldsThatCannotCalibrate) {
  const WornKit kit;
  const Orientations still = kit.report(standing(StandingPose::I));
  const auto ski = [&] { return kit.report(skiing(30)); };
  auto without = [](Orientations frame, std::initializer_list<BodyPart> parts) {
    for (const auto part : parts) frame.clear(part);
    return frame;
  };
  struct Case {
    const char* what;
    std::function<HoldSummary()> first;
    std::function<HoldSummary()> second;  ///< empty: refused at the first step
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a paired tracker sent nothing",
       [&] {
         HoldAverage hold;
         hold.expect(BodyPart::LeftHand);
         hold.add(without(still, {BodyPart::LeftHand}));
         return hold.summary();
       },
       nullptr, "LeftHand sent nothing during the hold"},
      {"a tracker moved",
       [&] {
         HoldAverage hold;
         hold.add(still);
         Orientations moved = still;
         moved.set(BodyPart::LeftHand, turn({1, 0, 0}, 12) * still.at(BodyPart::LeftHand));
         hold.add(moved);
         return hold.summary();
       },
       nullptr, "LeftHand moved during the hold (6.0 degrees)"},
      {"no reference",
       [&] {
         return hold_of(without(still, {BodyPart::Chest, BodyPart::Hips, BodyPart::Head}));
       },
       nullptr, "no reference tracker (Chest, Hips or Head) is paired"},
      {"nothing at all", [] { return HoldAverage{}.summary(); }, nullptr,
       "no reference tracker (Chest, Hips or Head) is paired"},
      {"a calibrated tracker is missing from the ski pose", [&] { return hold_of(still); },
       [&] { return hold_of(without(ski(), {BodyPart::RightFoot})); },
       "RightFoot sent nothing during the hold"},
      {"a tracker moved in the ski pose", [&] { return hold_of(still); },
       [&] {
         HoldAverage hold;
         hold.add(ski());
         hold.add(kit.report(skiing(45)));
         return hold.summary();
       },
       "LeftLowerArm moved during the hold (7.5 degrees)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto first = calibrate(c.first(), StandingPose::I);
    if (!c.second) {
      ASSERT_FALSE(first);
      EXPECT_EQ(first.error().message, c.message);
      continue;
    }
    ASSERT_TRUE(first);
    const auto second = calibrate_mounting(*first, c.second());
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message, c.message);
  }
  const auto uncalibrated = calibrate_mounting(Calibration{}, hold_of(ski()));
  ASSERT_FALSE(uncalibrated);
  EXPECT_EQ(uncalibrated.error().message, "calibrate standing first: no tracker is calibrated");
}

}  // namespace
}  // namespace sorvel::pose
