#include "sorvel/pose/lengths.hpp"

#include <cmath>

#include <fmt/format.h>

namespace sorvel::pose {
namespace {

template <typename P>
auto* field(P& p, std::string_view name) {
  if (name == "pelvis") return &p.pelvis;
  if (name == "spine") return &p.spine;
  if (name == "head") return &p.head;
  if (name == "shoulder_width") return &p.shoulder_width;
  if (name == "upper_arm") return &p.upper_arm;
  if (name == "lower_arm") return &p.lower_arm;
  if (name == "hand") return &p.hand;
  if (name == "hip_width") return &p.hip_width;
  if (name == "upper_leg") return &p.upper_leg;
  if (name == "lower_leg") return &p.lower_leg;
  if (name == "ankle_height") return &p.ankle_height;
  if (name == "foot") return &p.foot;
  return static_cast<decltype(&p.pelvis)>(nullptr);
}

bool usable_length(double metres) {
  return std::isfinite(metres) && metres > 0.0;
}

}  // namespace

double* length_named(Proportions& proportions, std::string_view name) {
  return field(proportions, name);
}

std::optional<double> length_named(const Proportions& proportions, std::string_view name) {
  const double* value = field(proportions, name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<Error> invalid_lengths(const Proportions& proportions) {
  for (const auto name : kLengthNames) {
    const double metres = *length_named(proportions, name);
    if (!usable_length(metres)) {
      return Error{fmt::format("the length {} must be positive, not {}", name, metres)};
    }
  }
  return std::nullopt;
}

Result<Proportions> with_lengths(Proportions base, std::span<const LengthOverride> overrides) {
  for (const auto& length : overrides) {
    double* target = length_named(base, length.name);
    if (target == nullptr) {
      return Error{fmt::format("no length is called \"{}\" (known: {})", length.name,
                               fmt::join(kLengthNames, ", "))};
    }
    *target = length.metres;
  }
  if (auto invalid = invalid_lengths(base)) return *invalid;
  return base;
}

Result<Proportions> proportions_for(double height, std::span<const LengthOverride> overrides) {
  if (!usable_length(height)) {
    return Error{fmt::format("the height must be positive, not {}", height)};
  }
  return with_lengths(Proportions::from_height(height), overrides);
}

}  // namespace sorvel::pose
