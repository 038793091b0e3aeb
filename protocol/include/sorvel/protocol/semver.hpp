#pragma once
// A firmware version as three raw bytes.

#include <cstdint>

#include "sorvel/protocol/codec.hpp"

namespace sorvel::protocol {

struct SemVer {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint8_t patch = 0;

  static constexpr std::string_view kName = "SemVer";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("major", self.major);
    visit("minor", self.minor);
    visit("patch", self.patch);
  }
  bool operator==(const SemVer&) const = default;
};

}  // namespace sorvel::protocol
