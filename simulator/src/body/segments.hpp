#pragma once
// Every segment's orientation in the body frame at one moment, and the turns poses are made of.

#include <array>
#include <numbers>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::simulator::body {

/// By pose::index_of.
using Segments = std::array<pose::Quaternion, kBodyPartCount>;

inline constexpr double kDegree = std::numbers::pi / 180.0;

inline pose::Quaternion turn_x(double degrees) {
  return pose::Quaternion::from_axis_angle({1.0, 0.0, 0.0}, degrees * kDegree);
}
inline pose::Quaternion turn_y(double degrees) {
  return pose::Quaternion::from_axis_angle({0.0, 1.0, 0.0}, degrees * kDegree);
}
inline pose::Quaternion turn_z(double degrees) {
  return pose::Quaternion::from_axis_angle({0.0, 0.0, 1.0}, degrees * kDegree);
}

/// 0 at 0, 1 at 1 and beyond, with no jerk at either end.
inline double ease(double x) {
  if (x <= 0.0) return 0.0;
  if (x >= 1.0) return 1.0;
  return x * x * (3.0 - 2.0 * x);
}

/// Each segment a fraction `t` of the way from `from` to `to`.
inline Segments blend_segments(const Segments& from, const Segments& to, double t) {
  Segments out;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = pose::slerp(from[i], to[i], t);
  return out;
}

/// `turn` (in the body frame) applied to every segment.
inline Segments turned(const pose::Quaternion& turn, const Segments& segments) {
  Segments out;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = turn * segments[i];
  return out;
}

}  // namespace sorvel::simulator::body
