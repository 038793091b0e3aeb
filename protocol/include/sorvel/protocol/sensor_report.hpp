#pragma once
// The sensor report stream: frames of "SOR." + little-endian u16 length + one encoded report of
// four samples, and the conversion of a sample to a TrackerFrame.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel::protocol {

inline constexpr std::array<std::uint8_t, 4> kReportMarker{'S', 'O', 'R', '.'};
inline constexpr std::size_t kReportHeaderSize = 6;  // marker + length
inline constexpr std::size_t kSamplesPerReport = 4;
/// The longest payload a report can have: every varint at its longest (enums and u32 5 bytes,
/// u64 10, i16 3) and nothing after the fourth sample.
inline constexpr std::size_t kMaxReportPayload =
    5 + 5 + kSamplesPerReport * (10 + 10 + 12 * 3 + 1 + 5 + 3);

/// Fraction bits of the sample's fixed-point fields.
inline constexpr int kQuaternionBits = 14;
inline constexpr int kAccelerationBits = 8;
inline constexpr int kScalarBits = 4;

struct SensorSample {
  std::uint64_t value_a = 0;
  std::uint64_t value_b = 0;
  std::array<std::int16_t, 4> orientation{};        ///< x, y, z, w; 14 fraction bits
  std::array<std::int16_t, 4> second_quaternion{};  ///< x, y, z, w; 14 fraction bits
  std::array<std::int16_t, 3> acceleration{};       ///< x, y, z; 8 fraction bits
  std::int16_t scalar = 0;                          ///< 4 fraction bits
  std::uint8_t extra = 0;
  BodyPart body_part = BodyPart::LeftLowerArm;  ///< carried along; routing uses the report's
  std::uint16_t accuracy = 0;

  static constexpr std::string_view kName = "SensorSample";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("value_a", self.value_a);
    visit("value_b", self.value_b);
    visit("orientation", self.orientation);
    visit("second_quaternion", self.second_quaternion);
    visit("acceleration", self.acceleration);
    visit("scalar", self.scalar);
    visit("extra", self.extra);
    visit("body_part", self.body_part);
    visit("accuracy", self.accuracy);
  }
  bool operator==(const SensorSample&) const = default;
};

struct SensorReport {
  BodyPart body_part = BodyPart::LeftLowerArm;  ///< selects the tracker of all four samples
  std::uint32_t header = 0;                     ///< decoded and not used
  std::array<SensorSample, kSamplesPerReport> samples{};

  static constexpr std::string_view kName = "SensorReport";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("body_part", self.body_part);
    visit("header", self.header);
    visit("samples", self.samples);
  }
  bool operator==(const SensorReport&) const = default;
};

/// Decodes one report from the start of a frame's payload; bytes after it are ignored.
WireResult<SensorReport> decode_sensor_report(std::span<const std::uint8_t> payload);

/// The frame for `report`: marker, length, payload. For producers of the stream.
std::vector<std::uint8_t> encode_report_frame(const SensorReport& report);

/// Fixed point to float, exactly v / 2^fraction_bits.
constexpr float fixed_to_float(std::int16_t value, int fraction_bits) {
  return static_cast<float>(value) / static_cast<float>(1 << fraction_bits);
}

/// Scales the sample's fixed-point values and normalises both quaternions (an all-zero
/// quaternion gives NaN components, as dividing by its zero length does).
TrackerFrame to_frame(const SensorSample& sample);

/// The inverse scaling, for producers of the stream: rounds to the nearest fixed-point value.
std::int16_t float_to_fixed(float value, int fraction_bits);

}  // namespace sorvel::protocol
