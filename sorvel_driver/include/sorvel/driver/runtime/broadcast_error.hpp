#pragma once
// The two ways a broadcast operation fails, with their debug texts.

#include <cstdint>

#include <fmt/format.h>

namespace sorvel::runtime {

/// A send that found no receiver end (or a closed channel); the value comes back unsent.
template <typename T>
struct SendError {
  T value;

  bool operator==(const SendError&) const = default;
};

/// Why a receive produced no message.
struct RecvError {
  enum class Kind : std::uint8_t {
    Closed,  ///< every sender is gone or the channel was closed, and nothing is left to drain
    Lagged,  ///< the receiver fell behind; `missed` messages were overwritten before it read them
  };

  Kind kind = Kind::Closed;
  std::uint64_t missed = 0;

  static RecvError closed() { return {Kind::Closed, 0}; }
  static RecvError lagged(std::uint64_t missed) { return {Kind::Lagged, missed}; }
  bool operator==(const RecvError&) const = default;
};

}  // namespace sorvel::runtime

/// `{}` prints "SendError { .. }": the returned value itself need not be printable.
template <typename T>
struct fmt::formatter<sorvel::runtime::SendError<T>> : fmt::formatter<std::string_view> {
  auto format(const sorvel::runtime::SendError<T>&, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format("SendError { .. }", ctx);
  }
};

/// `{}` prints "Closed" or "Lagged(<missed>)".
template <>
struct fmt::formatter<sorvel::runtime::RecvError> : fmt::formatter<std::string_view> {
  auto format(const sorvel::runtime::RecvError& error, format_context& ctx) const {
    if (error.kind == sorvel::runtime::RecvError::Kind::Closed) {
      return fmt::formatter<std::string_view>::format("Closed", ctx);
    }
    return fmt::format_to(ctx.out(), "Lagged({})", error.missed);
  }
};
