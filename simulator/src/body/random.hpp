#pragma once
// A small seeded generator (splitmix64) that gives the same numbers on every platform, unlike
// the standard library's distributions.

#include <cmath>
#include <cstdint>
#include <numbers>

#include "sorvel/pose/quaternion.hpp"

namespace sorvel::simulator::body {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /// Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  /// Standard normal (Box-Muller).
  double normal() {
    const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
    return radius * std::cos(2.0 * std::numbers::pi * uniform());
  }
  /// A direction uniform on the sphere.
  pose::Vec3 direction() {
    for (;;) {
      const pose::Vec3 v{normal(), normal(), normal()};
      if (v.norm() > 1e-9) return v.normalized();
    }
  }

 private:
  std::uint64_t state_;
};

}  // namespace sorvel::simulator::body
