#pragma once
// The value of an internal invariant failure: a computation that threw, or a blocking call made
// where it would stall the runtime. The binding raises it as a BaseException.

#include <exception>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace sorvel::runtime {

/// Refusal of `block_on` on a runtime worker thread.
inline constexpr std::string_view kNestedRuntimeMessage =
    "Cannot start a runtime from within a runtime. This happens because a function (like "
    "`block_on`) attempted to block the current thread while the thread is being used to drive "
    "asynchronous tasks.";

/// Refusal of a blocking lock acquisition or wait on a runtime worker thread.
inline constexpr std::string_view kBlockingInRuntimeMessage =
    "Cannot block the current thread from within a runtime. This happens because a function "
    "attempted to block the current thread while the thread is being used to drive asynchronous "
    "tasks.";

struct InternalError {
  std::string message;

  bool operator==(const InternalError&) const = default;
};

/// The error for an exception that escaped a computation: its what() text, or "unknown error"
/// when it has none (or is not a std::exception).
InternalError internal_error_from(std::exception_ptr exception);

}  // namespace sorvel::runtime

template <>
struct fmt::formatter<sorvel::runtime::InternalError> : fmt::formatter<std::string_view> {
  auto format(const sorvel::runtime::InternalError& error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(error.message, ctx);
  }
};
