#pragma once
// Segment lengths by name: proportions from a height with some lengths set by hand, as a user
// writes them ({"upper_arm": 0.3}).

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "sorvel/pose/result.hpp"
#include "sorvel/pose/skeleton.hpp"

namespace sorvel::pose {

/// The field names of Proportions, in declaration order.
inline constexpr std::array<std::string_view, 12> kLengthNames{
    "pelvis", "spine",     "head",      "shoulder_width", "upper_arm",    "lower_arm",
    "hand",   "hip_width", "upper_leg", "lower_leg",      "ankle_height", "foot"};

struct LengthOverride {
  std::string_view name;
  double metres = 0.0;
};

/// The field called `name`, or nothing for a name Proportions does not have.
double* length_named(Proportions& proportions, std::string_view name);
std::optional<double> length_named(const Proportions& proportions, std::string_view name);

/// Why `proportions` cannot be a body (a length not finite and positive), if anything.
std::optional<Error> invalid_lengths(const Proportions& proportions);

/// `base` with `overrides` applied; refuses unknown names and lengths not finite and positive.
Result<Proportions> with_lengths(Proportions base, std::span<const LengthOverride> overrides);

/// Proportions::from_height(height) with `overrides` applied; refuses a height not finite and
/// positive.
Result<Proportions> proportions_for(double height, std::span<const LengthOverride> overrides = {});

}  // namespace sorvel::pose
