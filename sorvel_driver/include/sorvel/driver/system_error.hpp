#pragma once
// An operating-system style error: an errno-like code and its message.

#include <string>

#include <fmt/format.h>

namespace sorvel {

struct SystemError {
  int code = 0;  ///< a positive errno value (EACCES, EBUSY, ENODEV, ENOENT, ETIMEDOUT, EPIPE, ...)
  std::string message;

  bool operator==(const SystemError&) const = default;
};

/// The error of `code` with the system's own text for it.
SystemError system_error_from_errno(int code);

}  // namespace sorvel

/// Debug text: Os { code: 13, message: "Permission denied" }
template <>
struct fmt::formatter<sorvel::SystemError> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  auto format(const sorvel::SystemError& error, format_context& ctx) const {
    return fmt::format_to(ctx.out(), "Os {{ code: {}, message: \"{}\" }}", error.code,
                          error.message);
  }
};
