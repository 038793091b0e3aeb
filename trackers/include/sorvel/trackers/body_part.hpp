#pragma once
// The body part a tracker is worn on: how the whole system names a tracker.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include <fmt/format.h>

namespace sorvel {

/// One byte; the value is also the wire index.
enum class BodyPart : std::uint8_t {
  LeftLowerArm = 0,
  RightLowerArm = 1,
  LeftLowerLeg = 2,
  RightLowerLeg = 3,
  Head = 4,
  Hips = 5,
  LeftUpperArm = 6,
  RightUpperArm = 7,
  LeftUpperLeg = 8,
  RightUpperLeg = 9,
  Chest = 10,
  LeftHand = 11,
  RightHand = 12,
  LeftFoot = 13,
  RightFoot = 14,
};

inline constexpr std::size_t kBodyPartCount = 15;

namespace detail {
struct BodyPartInfo {
  std::string_view name;
  std::string_view code;
};
inline constexpr std::array<BodyPartInfo, kBodyPartCount> kBodyParts{{
    {"LeftLowerArm", "LLA"},
    {"RightLowerArm", "RLA"},
    {"LeftLowerLeg", "LLL"},
    {"RightLowerLeg", "RLL"},
    {"Head", "HE"},
    {"Hips", "HI"},
    {"LeftUpperArm", "LUA"},
    {"RightUpperArm", "RUA"},
    {"LeftUpperLeg", "LUL"},
    {"RightUpperLeg", "RUL"},
    {"Chest", "CH"},
    {"LeftHand", "LH"},
    {"RightHand", "RH"},
    {"LeftFoot", "LF"},
    {"RightFoot", "RF"},
}};
}  // namespace detail

/// "LeftLowerArm" ... "RightFoot".
constexpr std::string_view name(BodyPart part) {
  return detail::kBodyParts[static_cast<std::size_t>(part)].name;
}

/// "LLA" ... "RF".
constexpr std::string_view code(BodyPart part) {
  return detail::kBodyParts[static_cast<std::size_t>(part)].code;
}

/// Exact, case-sensitive match of a short code.
constexpr std::optional<BodyPart> body_part_from_code(std::string_view text) {
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    if (detail::kBodyParts[i].code == text) return static_cast<BodyPart>(i);
  }
  return std::nullopt;
}

/// The body part of a wire index; nothing for 15 and above.
constexpr std::optional<BodyPart> body_part_from_index(std::uint64_t index) {
  if (index >= kBodyPartCount) return std::nullopt;
  return static_cast<BodyPart>(index);
}

/// Exact, case-sensitive match of a name ("Head").
constexpr std::optional<BodyPart> body_part_from_name(std::string_view text) {
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    if (detail::kBodyParts[i].name == text) return static_cast<BodyPart>(i);
  }
  return std::nullopt;
}

}  // namespace sorvel

template <>
struct fmt::formatter<sorvel::BodyPart> : fmt::formatter<std::string_view> {
  auto format(sorvel::BodyPart part, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(sorvel::name(part), ctx);
  }
};
