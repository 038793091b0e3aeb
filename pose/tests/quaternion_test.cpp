#include "sorvel/pose/quaternion.hpp"

#include <cmath>
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

Quaternion turn(const Vec3& axis, double degrees) {
  return Quaternion::from_axis_angle(axis, degrees * std::numbers::pi / 180.0);
}

constexpr Vec3 kX{1, 0, 0}, kY{0, 1, 0}, kZ{0, 0, 1};

TEST(SwingTwist, FindsTheTurnAboutTheAxisEvenWithTheLimbStraightUp) {
  // Arms raised straight up put the segment's long axis on the heading axis: the cases where a
  // decomposition through Euler angles locks.
  struct Case {
    const char* what;
    Quaternion q;
    Vec3 axis;
    double twist_degrees;
  };
  const Case cases[] = {
      {"pure twist", turn(kY, 40), kY, 40},
      {"pure swing", turn(kX, 70), kY, 0},
      {"heading then left arm up", turn(kY, 30) * turn(kZ, 90), kY, 30},
      {"left arm up, turned about itself", turn(kZ, 90) * turn(kX, -25), kY, -25},
      {"right arm up, turned about itself", turn(kZ, -90) * turn(kX, 25), kY, -25},
      {"arm nearly overhead", turn(kY, -120) * turn(kZ, 179), kY, -120},
      {"about a tilted axis", turn(Vec3{1, 1, 0}, 50), Vec3{1, 1, 0}.normalized(), 50},
      {"half a twist", turn(kZ, 180), kZ, 180},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [swing, twist] = swing_twist(c.q, c.axis);
    EXPECT_NEAR(std::fabs(twist_angle(twist, c.axis)) * 180.0 / std::numbers::pi,
                std::fabs(c.twist_degrees), 1e-9);
    EXPECT_NEAR(twist_angle(c.q, c.axis) * 180.0 / std::numbers::pi, c.twist_degrees, 1e-9);
    EXPECT_NEAR(angle_between(swing * twist, c.q), 0.0, 1e-7);
    EXPECT_NEAR(swing.vector().dot(c.axis), 0.0, 1e-12);
  }
}

TEST(SwingTwist, SplitsAnyRotationIntoAFreeSwingAndATwistAboutTheAxis) {
  std::mt19937 random(11);
  std::normal_distribution<double> normal;
  for (int i = 0; i < 1000; ++i) {
    const Quaternion q =
        Quaternion{normal(random), normal(random), normal(random), normal(random)}.normalized();
    const Vec3 axis = Vec3{normal(random), normal(random), normal(random)}.normalized();
    const auto [swing, twist] = swing_twist(q, axis);
    expect_near((swing * twist).rotate(axis), q.rotate(axis));
    EXPECT_NEAR(angle_between(swing * twist, q), 0.0, 1e-6);
    EXPECT_NEAR(twist.vector().cross(axis).norm(), 0.0, 1e-12);
    EXPECT_NEAR(swing.vector().dot(axis), 0.0, 1e-12);
    // A turn about the axis on the left moves into the twist alone.
    const Quaternion extra = Quaternion::from_axis_angle(axis, normal(random));
    EXPECT_NEAR(angle_between(twist_about(extra * q, axis), extra * twist), 0.0, 1e-6);
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
