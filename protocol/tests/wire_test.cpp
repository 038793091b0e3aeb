// Primitive encodings and the decoder's limits, through the generic codec.
#include <gtest/gtest.h>

#include <vector>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/protocol/semver.hpp"

namespace sorvel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
Bytes encoded(const T& value) {
  std::array<std::uint8_t, 64> buffer{};
  auto size = encode(value, buffer);
  EXPECT_TRUE(size.has_value());
  return Bytes(buffer.begin(), buffer.begin() + (size ? *size : 0));
}

TEST(Varint, EncodesValuesAtEachLengthBoundary) {
  EXPECT_EQ(encoded(std::uint32_t{0}), (Bytes{0x00}));
  EXPECT_EQ(encoded(std::uint32_t{127}), (Bytes{0x7F}));
  EXPECT_EQ(encoded(std::uint32_t{128}), (Bytes{0x80, 0x01}));
  EXPECT_EQ(encoded(std::uint32_t{300}), (Bytes{0xAC, 0x02}));
  EXPECT_EQ(encoded(std::uint16_t{65535}), (Bytes{0xFF, 0xFF, 0x03}));
  EXPECT_EQ(encoded(std::uint32_t{4294967295}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  EXPECT_EQ(encoded(std::uint64_t{18446744073709551615u}),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(Zigzag, MapsSignedValuesAsTheWireExpects) {
  EXPECT_EQ(encoded(std::int32_t{0}), (Bytes{0x00}));
  EXPECT_EQ(encoded(std::int32_t{-1}), (Bytes{0x01}));
  EXPECT_EQ(encoded(std::int32_t{1}), (Bytes{0x02}));
  EXPECT_EQ(encoded(std::int32_t{-2}), (Bytes{0x03}));
  EXPECT_EQ(encoded(std::int32_t{-3}), (Bytes{0x05}));
  EXPECT_EQ(encoded(std::int16_t{-1}), (Bytes{0x01}));
  EXPECT_EQ(encoded(std::int16_t{1000}), (Bytes{0xD0, 0x0F}));
  EXPECT_EQ(encoded(std::int16_t{-32768}), (Bytes{0xFF, 0xFF, 0x03}));
  EXPECT_EQ(encoded(std::int32_t{INT32_MIN}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  EXPECT_EQ(encoded(std::int8_t{-4}), (Bytes{0xFC}));
}

struct DecodeCase {
  Bytes bytes;
  WireResult<std::uint64_t> expected;
};

template <typename T>
void expect_decodes(const std::vector<DecodeCase>& cases) {
  for (const auto& c : cases) {
    auto got = decode<T>(c.bytes);
    const std::string where = fmt::format("{:02X}", fmt::join(c.bytes, " "));
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << where;
    if (got) {
      EXPECT_EQ(*got, *c.expected) << where;
    } else {
      EXPECT_EQ(got.error(), c.expected.error()) << where;
    }
  }
}

TEST(Varint, DecoderLimitsPerWidth) {
  const auto bad = unexpected(WireError::DeserializeBadVarint);
  const auto end = unexpected(WireError::DeserializeUnexpectedEnd);
  expect_decodes<std::uint16_t>({
      {{0xFF, 0xFF, 0x03}, 65535},
      {{0xFF, 0xFF, 0x04}, bad},
      {{0x80, 0x80, 0x80}, bad},
      {{0x80, 0x80, 0x00}, 0},
      {{0xFF, 0xFF}, end},
      {{}, end},
  });
  expect_decodes<std::uint32_t>({
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 4294967295u},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x10}, bad},
      {{0x80, 0x80, 0x80, 0x80, 0x80}, bad},
      {{0x80, 0x00}, 0},
      {{0x80}, end},
  });
  expect_decodes<std::uint64_t>({
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 18446744073709551615u},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, bad},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 0},
  });
}

TEST(Varint, EveryNonCanonicalEncodingWithinTheLimitDecodes) {
  // Pad each value with redundant continuation groups up to the width's maximum length.
  for (std::uint64_t value : {0ull, 1ull, 127ull, 128ull, 300ull, 65535ull, 4294967295ull}) {
    for (int length = 1; length <= 5; ++length) {
      Bytes bytes;
      std::uint64_t rest = value;
      for (int i = 0; i < length; ++i) {
        std::uint8_t group = rest & 0x7F;
        rest >>= 7;
        if (i + 1 < length) group |= 0x80;
        bytes.push_back(group);
      }
      if (rest != 0) continue;  // too short for this value
      auto got = decode<std::uint32_t>(bytes);
      ASSERT_TRUE(got.has_value()) << value << " in " << length << " bytes";
      EXPECT_EQ(*got, value);
    }
  }
}

TEST(Codec, EncoderReportsAFullBufferAndLeavesTheRestAlone) {
  std::array<std::uint8_t, 2> buffer{0xAA, 0xAA};
  EXPECT_EQ(encode(std::uint32_t{300}, buffer), WireResult<std::size_t>(2));
  std::array<std::uint8_t, 1> small{};
  EXPECT_EQ(encode(std::uint32_t{300}, small).error(), WireError::SerializeBufferFull);
  std::array<std::uint8_t, 3> tail{0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(encode(SemVer{1, 2, 3}, std::span(tail).first(3)));
  std::array<std::uint8_t, 4> four{0, 0, 0, 0xEE};
  ASSERT_TRUE(encode(SemVer{1, 2, 3}, four));
  EXPECT_EQ(four[3], 0xEE);
}

TEST(Codec, RecordsPrintNamedFieldsAndRoundTrip) {
  const SemVer version{1, 2, 3};
  EXPECT_EQ(fmt::format("{}", version), "SemVer { major: 1, minor: 2, patch: 3 }");
  EXPECT_EQ(encoded(version), (Bytes{1, 2, 3}));
  EXPECT_EQ(decode<SemVer>(Bytes{1, 2, 3, 9}), WireResult<SemVer>(version));
  EXPECT_EQ(decode<SemVer>(Bytes{1, 2}).error(), WireError::DeserializeUnexpectedEnd);
  EXPECT_EQ(decode<BodyPart>(Bytes{14}), WireResult<BodyPart>(BodyPart::RightFoot));
  EXPECT_EQ(decode<BodyPart>(Bytes{15}).error(), WireError::SerdeDeCustom);
  EXPECT_EQ(decode<bool>(Bytes{2}).error(), WireError::DeserializeBadBool);
}

}  // namespace
}  // namespace sorvel::protocol
