// The pose solver against the simulated person, end to end: the trackers' samples decoded as the
// driver decodes them, the person calibrating in two steps, every frame solved and compared with
// the truth. The bounds are loose: the benchmark measures the figures.

#include <gtest/gtest.h>

#include "body/pose_accuracy.hpp"

namespace sorvel::simulator::body {
namespace {

TEST(BodyPoseAccuracy, TwoStepCalibrationFollowsWalkingAndArmRaisesWithAnyMountingAndHeading) {
  for (std::uint64_t seed : {3u, 11u}) {
    AccuracyRun run;
    run.body.seed = seed;
    run.body.mounting = MountingKind::Random;
    run.body.shared_heading = false;
    run.body.noise_deg = 0.5;
    run.body.loop = false;
    run.body.script = calibration_script(
        {{std::nullopt, BodyMotion::Walk, 5.0}, {std::nullopt, BodyMotion::ArmRaises, 5.0}});
    const auto errors = measure_accuracy(run);
    ASSERT_TRUE(errors.has_value()) << errors.error().message;
    // Fifteen trackers, 100 frames a second, 10 s after the 4 s of holds.
    EXPECT_EQ(errors->segment_deg.size(), 15u * 1000u);
    EXPECT_LT(percentile(errors->segment_deg, 0.5), 2.0) << "seed " << seed;
    EXPECT_LT(percentile(errors->segment_deg, 0.99), 6.0) << "seed " << seed;
    EXPECT_LT(percentile(errors->extremity_m, 0.99), 0.06) << "seed " << seed;
  }
}

}  // namespace
}  // namespace sorvel::simulator::body
