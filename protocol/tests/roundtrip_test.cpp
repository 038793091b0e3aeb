// Property: every value of every message type survives encode then decode, and the decoder reads
// exactly the bytes the encoder wrote.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <span>
#include <variant>

#include "random_value.hpp"
#include "sorvel/protocol/messages.hpp"
#include "sorvel/protocol/sensor_report.hpp"

namespace sorvel::protocol {
namespace {

constexpr int kIterations = 20000;

/// `buffer_size` is the largest transfer the type must fit in.
template <typename T, std::size_t buffer_size>
void expect_round_trips(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  constexpr std::size_t kAlternatives = [] {
    if constexpr (TaggedUnion<T>) return std::variant_size_v<typename T::Variant>;
    return std::size_t{0};
  }();
  std::array<bool, kAlternatives> seen{};
  for (int i = 0; i < kIterations; ++i) {
    const auto value = random_value<T>(rng);
    if constexpr (TaggedUnion<T>) seen[value.index()] = true;

    // Random bytes after the encoding must not be read.
    std::array<std::uint8_t, buffer_size> buffer{};
    fill_random(rng, buffer);
    const auto size = encode<T>(value, buffer);
    ASSERT_TRUE(size.has_value()) << debug_text(value);

    Reader reader(buffer);
    T decoded{};
    Codec<T>::read(reader, decoded);
    ASSERT_TRUE(reader.ok()) << debug_text(value) << ": " << name(*reader.error());
    ASSERT_EQ(decoded, value) << debug_text(value) << " came back as " << debug_text(decoded);
    ASSERT_EQ(reader.consumed(), *size) << debug_text(value);

    for (std::size_t cut = 0; cut < *size; ++cut) {
      const auto truncated = decode<T>(std::span<const std::uint8_t>(buffer).first(cut));
      ASSERT_FALSE(truncated.has_value()) << debug_text(value) << " cut at " << cut;
      ASSERT_EQ(truncated.error(), WireError::DeserializeUnexpectedEnd)
          << debug_text(value) << " cut at " << cut;
    }
  }
  for (std::size_t index = 0; index < seen.size(); ++index) {
    EXPECT_TRUE(seen[index]) << "alternative " << index << " never generated";
  }
}

TEST(RoundTrip, Commands) {
  expect_round_trips<Command, kCommandTransferSize>(0x5eed0001);
}

// A response is read from the start of a transfer of at most 63 bytes.
TEST(RoundTrip, Responses) {
  expect_round_trips<Response, 63>(0x5eed0002);
}

TEST(RoundTrip, FailureReasons) {
  expect_round_trips<FailureReason, 8>(0x5eed0003);
}

// A report's payload is at most a few hundred bytes.
TEST(RoundTrip, SensorReports) {
  expect_round_trips<SensorReport, 512>(0x5eed0005);
}

TEST(RoundTrip, CommandTransferIsTheEncodingPaddedWithZeros) {
  std::mt19937_64 rng(0x5eed0004);
  for (int i = 0; i < kIterations; ++i) {
    const auto command = random_value<Command>(rng);
    std::array<std::uint8_t, kCommandTransferSize> expected{};
    const auto size = encode(command, expected);
    ASSERT_TRUE(size.has_value()) << debug_text(command);
    ASSERT_EQ(command_transfer(command), expected) << debug_text(command);
    ASSERT_EQ(decode_command(expected), WireResult<Command>(command)) << debug_text(command);
  }
}

}  // namespace
}  // namespace sorvel::protocol
