#include "sorvel/pose/quaternion.hpp"

#include <numbers>
#include <random>

#include <gtest/gtest.h>

namespace sorvel::pose {
namespace {

constexpr double kQuarter = std::numbers::pi / 2.0;

void expect_near(const Vec3& actual, const Vec3& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-12);
  EXPECT_NEAR(actual.y, expected.y, 1e-12);
  EXPECT_NEAR(actual.z, expected.z, 1e-12);
}

TEST(Quaternion, QuarterTurnsAreRightHanded) {
  struct Case {
    Vec3 axis, in, out;
  };
  const Case cases[] = {
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
      {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
      {{0, 0, -1}, {1, 0, 0}, {0, -1, 0}},
  };
  for (const auto& c : cases) {
    expect_near(Quaternion::from_axis_angle(c.axis, kQuarter).rotate(c.in), c.out);
  }
}

TEST(Quaternion, ProductRotatesByTheRightFactorFirst) {
  std::mt19937 random(7);
  std::normal_distribution<double> normal;
  auto any_rotation = [&] {
    return Quaternion{normal(random), normal(random), normal(random), normal(random)}.normalized();
  };
  for (int i = 0; i < 100; ++i) {
    const Quaternion a = any_rotation();
    const Quaternion b = any_rotation();
    const Vec3 v{normal(random), normal(random), normal(random)};
    expect_near((a * b).rotate(v), a.rotate(b.rotate(v)));
    expect_near((a * a.conjugate()).rotate(v), v);
    EXPECT_NEAR(angle_between(a * b, a), angle_between(b, Quaternion::identity()), 1e-9);
  }
}

TEST(Quaternion, SlerpMovesAlongTheShorterArcInEvenSteps) {
  std::mt19937 random(11);
  std::normal_distribution<double> normal;
  for (int i = 0; i < 100; ++i) {
    const Quaternion a =
        Quaternion{normal(random), normal(random), normal(random), normal(random)}.normalized();
    // Either sign of b, and b near a, where the sine of the angle all but vanishes.
    const Quaternion turn = Quaternion::from_axis_angle(
        {normal(random), normal(random), normal(random)}, i % 4 == 0 ? 1e-4 : 2.5 * (i % 7) / 7);
    const Quaternion b = a * turn;
    const Quaternion end = i % 2 == 1 ? Quaternion{-b.w, -b.x, -b.y, -b.z} : b;
    const double whole = angle_between(a, end);
    for (double t : {0.0, 0.25, 0.5, 1.0}) {
      const Quaternion q = slerp(a, end, t);
      EXPECT_NEAR(q.norm(), 1.0, 1e-12);
      EXPECT_NEAR(angle_between(a, q), t * whole, 1e-6);
      EXPECT_NEAR(angle_between(q, end), (1.0 - t) * whole, 1e-6);
    }
  }
}

}  // namespace
}  // namespace sorvel::pose
