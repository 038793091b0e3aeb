#include "sorvel/protocol/sensor_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace sorvel::protocol {

namespace {

std::array<float, 4> normalised_quaternion(const std::array<std::int16_t, 4>& raw) {
  std::array<float, 4> q{};
  float sum = 0.0f;
  for (std::size_t i = 0; i < q.size(); ++i) {
    q[i] = fixed_to_float(raw[i], kQuaternionBits);
    sum += q[i] * q[i];
  }
  const float length = std::sqrt(sum);
  for (float& component : q) component /= length;
  return q;
}
}  // namespace

WireResult<SensorReport> decode_sensor_report(std::span<const std::uint8_t> payload) {
  return decode<SensorReport>(payload);
}

std::vector<std::uint8_t> encode_report_frame(const SensorReport& report) {
  std::array<std::uint8_t, kMaxReportPayload> payload{};
  const auto size = encode(report, payload);
  if (!size) std::abort();  // impossible: the buffer holds the longest report
  std::vector<std::uint8_t> frame(kReportMarker.begin(), kReportMarker.end());
  frame.push_back(static_cast<std::uint8_t>(*size & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(*size >> 8));
  frame.insert(frame.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(*size));
  return frame;
}

TrackerFrame to_frame(const SensorSample& sample) {
  TrackerFrame frame;
  frame.orientation = normalised_quaternion(sample.orientation);
  frame.second_quaternion = normalised_quaternion(sample.second_quaternion);
  frame.value_a = sample.value_a;
  frame.value_b = sample.value_b;
  for (std::size_t i = 0; i < frame.acceleration.size(); ++i) {
    frame.acceleration[i] = fixed_to_float(sample.acceleration[i], kAccelerationBits);
  }
  frame.scalar = fixed_to_float(sample.scalar, kScalarBits);
  frame.accuracy = sample.accuracy;
  frame.extra = sample.extra;
  frame.body_part = sample.body_part;
  frame.validity = 0;
  return frame;
}

std::int16_t float_to_fixed(float value, int fraction_bits) {
  if (std::isnan(value)) return 0;
  const float scaled = std::round(value * static_cast<float>(1 << fraction_bits));
  const float clamped =
      std::clamp(scaled, static_cast<float>(std::numeric_limits<std::int16_t>::min()),
                 static_cast<float>(std::numeric_limits<std::int16_t>::max()));
  return static_cast<std::int16_t>(clamped);
}

}  // namespace sorvel::protocol
