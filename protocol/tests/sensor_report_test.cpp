#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sorvel/protocol/sensor_report.hpp"

namespace sorvel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Head, header 300, four samples of increasing value_a; orientation (16384, 0, 0, 0), second
// quaternion (0, 0, 0, 16384), acceleration (256, -256, 0), scalar 16, extra 7, accuracy 300.
SensorReport sample_report() {
  SensorReport report;
  report.body_part = BodyPart::Head;
  report.header = 300;
  for (std::size_t i = 0; i < report.samples.size(); ++i) {
    auto& s = report.samples[i];
    s.value_a = i;
    s.value_b = 1;
    s.orientation = {16384, 0, 0, 0};
    s.second_quaternion = {0, 0, 0, 16384};
    s.acceleration = {256, -256, 0};
    s.scalar = 16;
    s.extra = 7;
    s.body_part = BodyPart::RightFoot;
    s.accuracy = 300;
  }
  return report;
}

Bytes sample_bytes(std::uint8_t value_a) {
  // value_a, value_b, orientation x y z w, second x y z w, acc x y z, scalar, extra, part, acc.
  return {value_a, 0x01, 0x80, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,
          0x80,    0x02, 0x80, 0x04, 0xFF, 0x03, 0x00, 0x20, 0x07, 0x0E, 0xAC, 0x02};
}

TEST(SensorReport, EncodesAndDecodesTheWireLayout) {
  Bytes expected{0x04, 0xAC, 0x02};
  for (std::uint8_t i = 0; i < 4; ++i) {
    const Bytes sample = sample_bytes(i);
    expected.insert(expected.end(), sample.begin(), sample.end());
  }
  const Bytes frame = encode_report_frame(sample_report());
  ASSERT_EQ(frame.size(), kReportHeaderSize + expected.size());
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{'S', 'O', 'R', '.'}));
  EXPECT_EQ(frame[4] | (frame[5] << 8), static_cast<int>(expected.size()));
  EXPECT_EQ(Bytes(frame.begin() + kReportHeaderSize, frame.end()), expected);

  Bytes with_tail = expected;
  with_tail.push_back(0xEE);  // bytes after the fourth sample are ignored
  EXPECT_EQ(decode_sensor_report(with_tail), WireResult<SensorReport>(sample_report()));
}

TEST(SensorReport, MalformedPayloadsFailWithTheirKind) {
  const Bytes frame = encode_report_frame(sample_report());
  const Bytes good(frame.begin() + kReportHeaderSize, frame.end());
  struct Case {
    std::string name;
    Bytes payload;
    WireError error;
  };
  std::vector<Case> cases{
      {"empty payload", {}, WireError::DeserializeUnexpectedEnd},
      {"body part above 14", {0x0F}, WireError::SerdeDeCustom},
      {"over-long header varint",
       {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x10},
       WireError::DeserializeBadVarint},
      {"only three samples", Bytes(good.begin(), good.end() - 24),
       WireError::DeserializeUnexpectedEnd},
  };
  Bytes bad_part = good;
  bad_part[3 + 21] = 0x0F;  // the first sample's own body part
  cases.push_back({"sample body part above 14", bad_part, WireError::SerdeDeCustom});
  for (const auto& c : cases) {
    auto got = decode_sensor_report(c.payload);
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error(), c.error) << c.name;
  }
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(decode_sensor_report(std::span(good).first(length)).error(),
              WireError::DeserializeUnexpectedEnd)
        << "truncated to " << length;
  }
}

TEST(SensorReport, SampleConvertsToAScaledNormalisedFrame) {
  const TrackerFrame frame = to_frame(sample_report().samples[2]);
  EXPECT_EQ(frame.orientation, (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(frame.second_quaternion, (std::array<float, 4>{0.0f, 0.0f, 0.0f, 1.0f}));
  EXPECT_EQ(frame.acceleration, (std::array<float, 3>{1.0f, -1.0f, 0.0f}));
  EXPECT_EQ(frame.scalar, 1.0f);
  EXPECT_EQ(frame.value_a, 2u);
  EXPECT_EQ(frame.value_b, 1u);
  EXPECT_EQ(frame.accuracy, 300) << "accuracy keeps all 16 bits";
  EXPECT_EQ(frame.extra, 7);
  EXPECT_EQ(frame.body_part, BodyPart::RightFoot);
  EXPECT_EQ(frame.validity, 0);
}

TEST(SensorReport, FixedPointScalingIsExact) {
  struct Case {
    std::int16_t raw;
    int bits;
    float value;
  };
  for (const Case& c : std::vector<Case>{{16384, 14, 1.0f},
                                         {-32768, 14, -2.0f},
                                         {1, 14, 1.0f / 16384},
                                         {256, 8, 1.0f},
                                         {-1, 8, -1.0f / 256},
                                         {16, 4, 1.0f},
                                         {32767, 4, 2047.9375f}}) {
    EXPECT_EQ(fixed_to_float(c.raw, c.bits), c.value) << c.raw << " / 2^" << c.bits;
    EXPECT_EQ(float_to_fixed(c.value, c.bits), c.raw);
  }
  EXPECT_FALSE(std::signbit(fixed_to_float(0, 14)));
}

TEST(SensorReport, QuaternionsAreNormalisedAndZeroGivesNaN) {
  SensorSample sample;
  sample.orientation = {8192, 8192, 8192, 8192};  // length 1 already: 4 * 0.25
  sample.second_quaternion = {16384, 16384, 0, 0};
  TrackerFrame frame = to_frame(sample);
  EXPECT_EQ(frame.orientation, (std::array<float, 4>{0.5f, 0.5f, 0.5f, 0.5f}));
  EXPECT_FLOAT_EQ(frame.second_quaternion[0], 1.0f / std::sqrt(2.0f));
  EXPECT_FLOAT_EQ(frame.second_quaternion[1], 1.0f / std::sqrt(2.0f));

  sample.orientation = {0, 0, 0, 0};
  frame = to_frame(sample);
  for (float component : frame.orientation) EXPECT_TRUE(std::isnan(component));
}

}  // namespace
}  // namespace sorvel::protocol
