#include "sorvel/pose/hold_average.hpp"

#include <gtest/gtest.h>

#include "worn_kit.hpp"

namespace sorvel::pose {
namespace {

using namespace testing;

TEST(HoldAverage, AveragesFramesOfEitherSignAndTellsStillFromMoved) {
  const Quaternion held = turn({1, 2, 3}, 170);
  std::mt19937 random(6);
  std::normal_distribution<double> normal;
  // Jitter of about a degree, half the frames sent as -q (the same rotation), then a last frame
  // turned by `last` degrees.
  struct Case {
    double last;
    HoldState state;
  };
  for (const auto& c : {Case{2, HoldState::Still}, Case{20, HoldState::Moved}}) {
    HoldAverage hold;
    hold.expect(BodyPart::Head);
    for (int i = 0; i < 50; ++i) {
      const Quaternion jitter = turn({normal(random), normal(random), normal(random)}, 0.5);
      Quaternion q = jitter * held;
      if (i % 2 == 1) q = {-q.w, -q.x, -q.y, -q.z};
      hold.add(BodyPart::Chest, q);
    }
    hold.add(BodyPart::Chest, turn({0, 1, 0}, c.last) * held);
    const HoldSummary summary = hold.summary();
    const HeldPart& chest = summary.at(BodyPart::Chest);
    EXPECT_EQ(chest.state, c.state);
    EXPECT_EQ(chest.frames, 51u);
    EXPECT_LT(angle_between(chest.mean, held), (0.2 + c.last / 40.0) * kDegree);
    EXPECT_GT(chest.largest_deviation, c.last * kDegree * 0.9);
    EXPECT_EQ(summary.at(BodyPart::Head).state, HoldState::SentNothing);
    EXPECT_EQ(summary.at(BodyPart::Hips).state, HoldState::NotPaired);
  }
}

TEST(Orientations, TakesTheDriversFramesInItsOwnOrder) {
  Orientations reported;
  TrackerFrame frame;
  frame.body_part = BodyPart::LeftFoot;
  EXPECT_FALSE(reported.set(frame)) << "the default frame is no orientation";
  frame.validity = 0;
  const Quaternion q = turn({0, 0, 1}, 90);
  frame.orientation = {static_cast<float>(q.x), static_cast<float>(q.y), static_cast<float>(q.z),
                       static_cast<float>(q.w)};
  ASSERT_TRUE(reported.set(frame));
  EXPECT_LT(angle_between(reported.at(BodyPart::LeftFoot), q), 1e-6);
  EXPECT_FALSE(reported.has(BodyPart::RightFoot));
  EXPECT_FALSE(reported.set(BodyPart::RightFoot, {0, 0, 0, 0}));
  EXPECT_FALSE(reported.set(BodyPart::RightFoot, {std::nan(""), 0, 0, 1}));
  EXPECT_FALSE(reported.has(BodyPart::RightFoot));
}

}  // namespace
}  // namespace sorvel::pose
