#pragma once
// Vectors and rotations of the body. One convention throughout: quaternions are (w, x, y, z),
// unit, multiplied as Hamilton did; q rotates a segment's coordinates into its parent frame's,
// v' = q v q*.

#include <cmath>
#include <numbers>

namespace sorvel::pose {

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  constexpr Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
  constexpr Vec3 operator-() const { return {-x, -y, -z}; }
  constexpr double dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
  constexpr Vec3 cross(const Vec3& o) const {
    return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
  }
  double norm() const { return std::sqrt(dot(*this)); }
  Vec3 normalized() const { return *this * (1.0 / norm()); }
  constexpr bool operator==(const Vec3&) const = default;
};

struct Quaternion {
  double w = 1.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  static constexpr Quaternion identity() { return {}; }
  /// A turn of `radians` about `axis` (need not be unit, must not be zero), right-handed.
  static Quaternion from_axis_angle(const Vec3& axis, double radians) {
    const Vec3 unit = axis.normalized();
    const double s = std::sin(radians / 2.0);
    return {std::cos(radians / 2.0), unit.x * s, unit.y * s, unit.z * s};
  }

  constexpr Vec3 vector() const { return {x, y, z}; }
  constexpr Quaternion conjugate() const { return {w, -x, -y, -z}; }
  constexpr double dot(const Quaternion& o) const { return w * o.w + x * o.x + y * o.y + z * o.z; }
  double norm() const { return std::sqrt(dot(*this)); }
  Quaternion normalized() const {
    const double n = 1.0 / norm();
    return {w * n, x * n, y * n, z * n};
  }

  /// Hamilton product: (a * b) rotates by b first, then by a.
  constexpr Quaternion operator*(const Quaternion& o) const {
    return {w * o.w - x * o.x - y * o.y - z * o.z, w * o.x + x * o.w + y * o.z - z * o.y,
            w * o.y - x * o.z + y * o.w + z * o.x, w * o.z + x * o.y - y * o.x + z * o.w};
  }
  /// q v q*, for a unit q.
  constexpr Vec3 rotate(const Vec3& v) const {
    const Vec3 u = vector();
    const Vec3 t = u.cross(v) * 2.0;
    return v + t * w + u.cross(t);
  }
  constexpr bool operator==(const Quaternion&) const = default;
};

/// The angle of the rotation that takes a to b, in radians, 0 to pi; q and -q are one rotation.
inline double angle_between(const Quaternion& a, const Quaternion& b) {
  const double d = std::fabs(a.dot(b));
  return 2.0 * std::acos(d > 1.0 ? 1.0 : d);
}

/// A rotation split into a turn about an axis (the twist) and a turn about an axis at right
/// angles to it (the swing): q = swing * twist = twist * swing', both swings free of the axis.
struct SwingTwist {
  Quaternion swing;
  Quaternion twist;
};

/// The part of `q` that turns about the unit `axis`. Where q turns the axis half a turn over, the
/// twist is undefined and taken as the identity.
inline Quaternion twist_about(const Quaternion& q, const Vec3& axis) {
  const double along = q.vector().dot(axis);
  const Quaternion twist{q.w, axis.x * along, axis.y * along, axis.z * along};
  if (twist.norm() < 1e-12) return Quaternion::identity();
  return twist.normalized();
}

inline SwingTwist swing_twist(const Quaternion& q, const Vec3& axis) {
  const Quaternion twist = twist_about(q, axis);
  return {q * twist.conjugate(), twist};
}

/// How far `q` turns about the unit `axis`, right-handed, in radians, -pi to pi.
inline double twist_angle(const Quaternion& q, const Vec3& axis) {
  double angle = 2.0 * std::atan2(q.vector().dot(axis), q.w);
  if (angle > std::numbers::pi) angle -= 2.0 * std::numbers::pi;
  if (angle <= -std::numbers::pi) angle += 2.0 * std::numbers::pi;
  return angle;
}

/// The right-handed angle about the unit `axis` from `from` to `to`, both seen along the axis
/// (their parts along it ignored), -pi to pi; 0 where either lies along the axis.
inline double signed_angle_about(const Vec3& from, const Vec3& to, const Vec3& axis) {
  return std::atan2(axis.dot(from.cross(to)), from.dot(to) - from.dot(axis) * to.dot(axis));
}

/// The rotation a fraction `t` (0 to 1) of the way from a to b along the shorter arc, unit.
inline Quaternion slerp(const Quaternion& a, const Quaternion& b, double t) {
  double d = a.dot(b);
  const double sign = d < 0.0 ? -1.0 : 1.0;  // q and -q are one rotation: take the near one
  d *= sign;
  double wa = 1.0 - t;
  double wb = t * sign;
  if (d < 0.9995) {  // close rotations would divide by a vanishing sine: blend them linearly
    const double angle = std::acos(d);
    const double s = 1.0 / std::sin(angle);
    wa = std::sin((1.0 - t) * angle) * s;
    wb = std::sin(t * angle) * s * sign;
  }
  return Quaternion{wa * a.w + wb * b.w, wa * a.x + wb * b.x, wa * a.y + wb * b.y,
                    wa * a.z + wb * b.z}
      .normalized();
}

}  // namespace sorvel::pose
