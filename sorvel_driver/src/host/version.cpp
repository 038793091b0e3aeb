#include "sorvel/driver/host/version.hpp"

#include <charconv>
#include <tuple>

namespace sorvel {

namespace {

std::optional<std::uint64_t> number(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool identifiers(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot - start);
    if (part.empty()) return false;
    for (char c : part) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

std::optional<Version> parse_version(std::string_view text) {
  Version version;
  if (const auto plus = text.find('+'); plus != std::string_view::npos) {
    version.build = text.substr(plus + 1);
    if (!identifiers(version.build)) return std::nullopt;
    text = text.substr(0, plus);
  }
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    version.pre = text.substr(dash + 1);
    if (!identifiers(version.pre)) return std::nullopt;
    text = text.substr(0, dash);
  }
  const auto first = text.find('.');
  const auto second = first == std::string_view::npos ? first : text.find('.', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto major = number(text.substr(0, first));
  const auto minor = number(text.substr(first + 1, second - first - 1));
  const auto patch = number(text.substr(second + 1));
  if (!major || !minor || !patch) return std::nullopt;
  version.major = *major;
  version.minor = *minor;
  version.patch = *patch;
  return version;
}

std::optional<TildeRequirement> parse_tilde_requirement(std::string_view text) {
  if (text.empty() || text.front() != '~') return std::nullopt;
  text.remove_prefix(1);
  TildeRequirement requirement;
  std::optional<std::uint64_t>* fields[] = {nullptr, &requirement.minor, &requirement.patch};
  for (int i = 0; i < 3; ++i) {
    const auto dot = text.find('.');
    const auto value = number(text.substr(0, dot));
    if (!value) return std::nullopt;
    if (i == 0) {
      requirement.major = *value;
    } else {
      *fields[i] = *value;
    }
    if (dot == std::string_view::npos) return requirement;
    text.remove_prefix(dot + 1);
  }
  return std::nullopt;  // more than three numbers
}

bool TildeRequirement::matches(const Version& v) const {
  // A pre-release only matches a requirement on the same version; plain firmware versions
  // (three bytes) never have one.
  if (!v.pre.empty()) return false;
  const auto floor = std::make_tuple(major, minor.value_or(0), patch.value_or(0));
  if (std::make_tuple(v.major, v.minor, v.patch) < floor) return false;
  if (minor) return v.major == major && v.minor == *minor;
  return v.major == major;
}

}  // namespace sorvel
