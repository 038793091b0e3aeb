// The simulated person: what the trackers report undoes to the truth, still trackers read
// gravity, the poses keep to the body's conventions, the skeleton keeps its lengths, and a pose
// asked for is held.

#include <gtest/gtest.h>

#include <chrono>

#include "body/person.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace sorvel::simulator::body {
namespace {

using pose::index_of;
using pose::Quaternion;
using pose::Vec3;

constexpr double kQuantised = 2e-3;  // radians: 14 fraction bits per component, and some margin

Quaternion decoded(const protocol::SensorSample& sample) {
  const auto q = protocol::to_frame(sample).orientation;  // x, y, z, w
  return {q[3], q[0], q[1], q[2]};
}

Vec3 force_of(const protocol::SensorSample& sample) {
  const auto a = protocol::to_frame(sample).acceleration;
  return {a[0], a[1], a[2]};
}

TrackerSpec on(BodyPart part) {
  return {TrackerAddress{}, part};
}

BodyScenario noiseless(std::vector<BodyStep> script = BodyScenario::default_script()) {
  BodyScenario body;
  body.noise_deg = 0.0;
  body.script = std::move(script);
  return body;
}

TEST(BodyPerson, ReportedOrientationsUndoneWithMountingHeadingAndUpGiveTheTruth) {
  struct Case {
    MountingKind mounting;
    bool shared_heading;
    double facing_deg, drift_deg_per_min;
    std::uint64_t seed;
  };
  for (const Case& c : {Case{MountingKind::Random, false, 0.0, 0.0, 1},
                        Case{MountingKind::Random, false, 40.0, 30.0, 2},
                        Case{MountingKind::Square, true, -120.0, 5.0, 3}}) {
    BodyScenario body = noiseless();
    body.mounting = c.mounting;
    body.shared_heading = c.shared_heading;
    body.heading_deg = 70.0;
    body.facing_deg = c.facing_deg;
    body.drift_deg_per_min = c.drift_deg_per_min;
    body.seed = c.seed;
    Person person(body);
    const TrackerPlacement placement(body);
    for (double s = 0.0; s < 40.0; s += 0.37) {
      const BodyState truth = body_truth(body, s);
      for (std::size_t i = 0; i < kBodyPartCount; ++i) {
        const auto part = static_cast<BodyPart>(i);
        const Quaternion world = placement.heading(part, s) * kUp;
        const Quaternion segment = world.conjugate() * decoded(person.sample(on(part), s, 0)) *
                                   placement.mounting(part).conjugate();
        ASSERT_LT(pose::angle_between(segment, truth.segments[index_of(part)]), kQuantised)
            << name(part) << " at " << s << " s, seed " << c.seed;
      }
    }
  }
}

TEST(BodyPerson, TrackersReadGravityUpWhenStillAndOnAverageWhileWalking) {
  constexpr double kStride = 1.2;  // the walk's period
  for (auto script : {std::vector<BodyStep>{{HeldPose::Ski, std::nullopt, 100.0}},
                      std::vector<BodyStep>{{std::nullopt, BodyMotion::Walk, 100.0}}}) {
    const bool still = script[0].pose.has_value();
    Person person(noiseless(std::move(script)));
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      const auto part = static_cast<BodyPart>(i);
      Vec3 sum{};
      double most_off = 0.0;
      const int count = 4 * 1200;
      for (int k = 0; k < count; ++k) {
        const auto sample = person.sample(on(part), 1.0 + 4 * kStride * k / count, 0);
        const Vec3 up = decoded(sample).rotate(force_of(sample));  // into the tracker's world
        sum = sum + up;
        most_off = std::max(most_off, (up - Vec3{0, 0, 9.81}).norm());
      }
      const Vec3 mean = sum * (1.0 / count);
      EXPECT_LT((mean - Vec3{0, 0, 9.81}).norm(), 0.02) << name(part);
      if (still) {
        EXPECT_LT(most_off, 0.02) << name(part);
      } else if (part != BodyPart::Hips && part != BodyPart::Chest && part != BodyPart::Head) {
        EXPECT_GT(most_off, 0.3) << name(part) << " moves, and its tracker feels it";
      }
    }
  }
}

TEST(BodyPerson, HeldPosesKeepToTheBodysConventions) {
  BodyScenario body;
  const auto& p = body.proportions;
  auto at = [](const BodyState& s, BodyPart part) { return s.joints[index_of(part)]; };
  auto state = [&](HeldPose pose) {
    body.script = {{pose, std::nullopt, 10.0}};
    return body_truth(body, 5.0);
  };
  const BodyState t = state(HeldPose::T), i = state(HeldPose::I), ski = state(HeldPose::Ski);
  for (const Quaternion& q : t.segments) EXPECT_EQ(q, Quaternion::identity());
  EXPECT_NEAR(at(t, BodyPart::Hips).y, p.upper_leg + p.lower_leg + p.ankle_height, 1e-12);
  EXPECT_EQ(at(t, BodyPart::Hips).x, 0.0);
  for (auto [hand, shoulder] : {std::pair{BodyPart::LeftHand, BodyPart::LeftUpperArm},
                                std::pair{BodyPart::RightHand, BodyPart::RightUpperArm}}) {
    const Vec3 down = at(i, shoulder) - at(i, hand);
    EXPECT_NEAR(down.y, p.upper_arm + p.lower_arm, 1e-12) << name(hand);
    EXPECT_NEAR(std::hypot(down.x, down.z), 0.0, 1e-12) << name(hand);
    EXPECT_GT(at(ski, hand).z, at(ski, shoulder).z + 0.1) << "arms raised forward";
  }
  for (std::size_t k = 0; k < kBodyPartCount; ++k) {
    const auto part = static_cast<BodyPart>(k);
    const double turn = pose::angle_between(ski.segments[k], i.segments[k]);
    if (part == BodyPart::LeftFoot || part == BodyPart::RightFoot) {
      EXPECT_EQ(ski.segments[k], Quaternion::identity()) << "feet flat";
    } else {
      EXPECT_GE(turn, 20.0 * kDegree - 1e-9) << name(part);
    }
  }
  EXPECT_GT(at(ski, BodyPart::Chest).z, 0.0) << "leaning forward";
  EXPECT_GT(at(ski, BodyPart::LeftLowerLeg).z, at(ski, BodyPart::LeftFoot).z) << "knee forward";
  EXPECT_NEAR(std::min(at(ski, BodyPart::LeftFoot).y, at(ski, BodyPart::RightFoot).y),
              p.ankle_height, 1e-12);
}

TEST(BodyPerson, TheWholeScriptKeepsLimbLengthsMovesSmoothlyAndDoesWhatItPromises) {
  BodyScenario body;
  body.facing_deg = 30.0;
  const auto& p = body.proportions;
  double longest_stride = 0.0, highest_hands = -1.0, furthest_turn = 0.0;
  BodyState before = body_truth(body, 0.0);
  for (double s = 0.01; s < 80.0; s += 0.01) {  // twice round the default script
    const BodyState now = body_truth(body, s);
    for (BodyPart part : pose::kParentsFirst) {
      const std::size_t k = index_of(part);
      EXPECT_LT(pose::angle_between(now.segments[k], before.segments[k]), 5.0 * kDegree)
          << name(part) << " jumps at " << s << " s";
      const auto parent = pose::parent_of(part);
      if (!parent) continue;
      EXPECT_NEAR((now.joints[k] - now.joints[index_of(*parent)]).norm(),
                  pose::rest_offset(p, part).norm(), 1e-9);
    }
    const Vec3 hips = now.joints[index_of(BodyPart::Hips)];
    EXPECT_NEAR(std::hypot(hips.x, hips.z), 0.0, 1e-12);
    const double lowest = std::min(now.joints[index_of(BodyPart::LeftFoot)].y,
                                   now.joints[index_of(BodyPart::RightFoot)].y);
    EXPECT_NEAR(lowest, p.ankle_height, 1e-9);
    longest_stride =
        std::max(longest_stride, std::abs(now.joints[index_of(BodyPart::LeftFoot)].y -
                                          now.joints[index_of(BodyPart::RightFoot)].y));
    highest_hands = std::max(highest_hands, now.joints[index_of(BodyPart::LeftHand)].y -
                                                now.joints[index_of(BodyPart::LeftUpperArm)].y);
    furthest_turn = std::max(
        furthest_turn, pose::angle_between(now.segments[index_of(BodyPart::Hips)], turn_y(30.0)));
    before = now;
  }
  EXPECT_GT(longest_stride, 0.1) << "walking lifts the feet";
  EXPECT_GT(highest_hands, 0.95 * (p.upper_arm + p.lower_arm)) << "arms nearly straight up";
  EXPECT_GT(furthest_turn, 175.0 * kDegree) << "turning goes all the way round";
}

TEST(BodyPerson, APoseAskedForIsHeldThenTheScriptResumes) {
  auto unknown = ask_virtual_person("Y", 1.0);
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error(), "unknown pose \"Y\" (T, I, ski)");
  EXPECT_FALSE(ask_virtual_person("I", -1.0).has_value());
  const auto nobody = ask_virtual_person("T", 1.0);
  ASSERT_TRUE(nobody.has_value());
  EXPECT_FALSE(*nobody) << "nobody is there to hear it";

  BodyScenario body = noiseless();
  body.facing_deg = 90.0;
  Person person(body);
  // Ten seconds into the stream, into the script's swaying.
  person.on_stream_start(std::chrono::steady_clock::now() - std::chrono::seconds(10));
  const auto heard = ask_virtual_person("ski", 2.0);
  ASSERT_TRUE(heard.has_value() && *heard);
  const TrackerPlacement placement(body);
  body.script = {{HeldPose::Ski, std::nullopt, 1.0}};
  const BodyState ski = body_truth(body, 0.0);
  body.script = BodyScenario::default_script();
  for (double s : {10.5, 11.0, 11.8, 13.0, 14.0}) {
    const BodyState expected = s < 12.0 ? ski : body_truth(body, s);
    for (std::size_t k = 0; k < kBodyPartCount; ++k) {
      const auto part = static_cast<BodyPart>(k);
      const Quaternion segment = (placement.heading(part, s) * kUp).conjugate() *
                                 decoded(person.sample(on(part), s, 0)) *
                                 placement.mounting(part).conjugate();
      EXPECT_LT(pose::angle_between(segment, expected.segments[k]), kQuantised)
          << name(part) << " at " << s << " s";
    }
  }
}

}  // namespace
}  // namespace sorvel::simulator::body
