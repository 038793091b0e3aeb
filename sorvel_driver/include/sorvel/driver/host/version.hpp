#pragma once
// Semantic versions and the tilde requirement of the firmware check.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace sorvel {

struct Version {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::string pre;    ///< pre-release, without "-"
  std::string build;  ///< build metadata, without "+"

  bool operator==(const Version&) const = default;
};

/// "MAJOR.MINOR.PATCH[-PRE][+BUILD]", numbers without leading zeros.
std::optional<Version> parse_version(std::string_view text);

/// "~MAJOR[.MINOR[.PATCH]]": at least that version, below the next minor (or next major when
/// only the major is given).
struct TildeRequirement {
  std::uint64_t major = 0;
  std::optional<std::uint64_t> minor;
  std::optional<std::uint64_t> patch;

  bool matches(const Version& version) const;
  bool operator==(const TildeRequirement&) const = default;
};

std::optional<TildeRequirement> parse_tilde_requirement(std::string_view text);

/// The driver's own version; its build metadata names the receiver firmware it wants.
inline constexpr std::string_view kDriverVersion = "2.0.1+firmware.2.0.1";

}  // namespace sorvel

/// Version { major: 1, minor: 9, patch: 0 } (pre-release and build only when present).
template <>
struct fmt::formatter<sorvel::Version> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  auto format(const sorvel::Version& v, format_context& ctx) const {
    auto out = fmt::format_to(ctx.out(), "Version {{ major: {}, minor: {}, patch: {}", v.major,
                              v.minor, v.patch);
    if (!v.pre.empty()) out = fmt::format_to(out, ", pre: {}", v.pre);
    if (!v.build.empty()) out = fmt::format_to(out, ", build: {}", v.build);
    return fmt::format_to(out, " }}");
  }
};

/// Canonical text: ~2.0.1
template <>
struct fmt::formatter<sorvel::TildeRequirement> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  auto format(const sorvel::TildeRequirement& r, format_context& ctx) const {
    auto out = fmt::format_to(ctx.out(), "~{}", r.major);
    if (r.minor) out = fmt::format_to(out, ".{}", *r.minor);
    if (r.patch) out = fmt::format_to(out, ".{}", *r.patch);
    return out;
  }
};
