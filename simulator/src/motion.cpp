#include "motion.hpp"

#include <cmath>
#include <numbers>

namespace sorvel::simulator {

namespace {
constexpr float kGravity = 9.81f;
constexpr std::uint16_t kAccuracy = 3;
}  // namespace

protocol::SensorSample sample_at(const TrackerSpec& tracker, Motion motion, double seconds,
                                 std::uint64_t index) {
  using protocol::float_to_fixed;
  using protocol::kAccelerationBits;
  using protocol::kQuaternionBits;
  using protocol::kScalarBits;
  const auto part = static_cast<int>(tracker.body_part);
  // Each body part sways about its own axis, out of phase with the others, a quarter turn a
  // few seconds; still trackers hold the identity.
  double angle = 0.0;
  if (motion == Motion::Sway) {
    angle = 0.4 * std::sin(2.0 * std::numbers::pi * 0.25 * seconds + 0.7 * part);
  }
  const double half = angle / 2.0;
  std::array<double, 3> axis{0.0, 0.0, 0.0};
  axis[static_cast<std::size_t>(part % 3)] = 1.0;

  protocol::SensorSample sample;
  sample.value_a = static_cast<std::uint64_t>(seconds * 1e6);
  sample.value_b = index;
  for (std::size_t i = 0; i < 3; ++i) {
    sample.orientation[i] =
        float_to_fixed(static_cast<float>(axis[i] * std::sin(half)), kQuaternionBits);
  }
  sample.orientation[3] = float_to_fixed(static_cast<float>(std::cos(half)), kQuaternionBits);
  sample.second_quaternion = sample.orientation;
  const float wobble = static_cast<float>(0.2 * std::sin(angle));
  sample.acceleration = {float_to_fixed(wobble, kAccelerationBits),
                         float_to_fixed(-wobble, kAccelerationBits),
                         float_to_fixed(kGravity, kAccelerationBits)};
  sample.scalar = float_to_fixed(25.0f, kScalarBits);
  sample.body_part = tracker.body_part;
  sample.accuracy = kAccuracy;
  return sample;
}

}  // namespace sorvel::simulator
