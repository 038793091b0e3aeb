#pragma once
// The 6-byte radio address of a tracker or of the receiver.

#include <array>
#include <compare>
#include <cstdint>

#include <fmt/format.h>

namespace sorvel {

struct TrackerAddress {
  std::array<std::uint8_t, 6> bytes{};

  /// Bytewise, first byte most significant.
  auto operator<=>(const TrackerAddress&) const = default;
  bool operator==(const TrackerAddress&) const = default;
};

}  // namespace sorvel

/// Prints as a list of six decimals: [1, 2, 3, 4, 5, 6].
template <>
struct fmt::formatter<sorvel::TrackerAddress> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  auto format(const sorvel::TrackerAddress& address, format_context& ctx) const {
    const auto& b = address.bytes;
    return fmt::format_to(ctx.out(), "[{}, {}, {}, {}, {}, {}]", b[0], b[1], b[2], b[3], b[4],
                          b[5]);
  }
};
