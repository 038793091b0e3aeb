#pragma once
// Why bytes could not be encoded or decoded.

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "sorvel/protocol/expected.hpp"

namespace sorvel::protocol {

/// The numeric value is the kind's position; most kinds are never produced by this protocol.
enum class WireError : std::uint8_t {
  WontImplement,
  NotYetImplemented,
  SerializeBufferFull,
  SerializeSeqLengthUnknown,
  DeserializeUnexpectedEnd,
  DeserializeBadVarint,
  DeserializeBadBool,
  DeserializeBadChar,
  DeserializeBadUtf8,
  DeserializeBadOption,
  DeserializeBadEnum,
  DeserializeBadEncoding,
  DeserializeBadCrc,
  SerdeSerCustom,
  SerdeDeCustom,
  CollectStrError,
};

inline constexpr std::size_t kWireErrorCount = 16;

std::string_view name(WireError error);

template <typename T>
using WireResult = Expected<T, WireError>;

}  // namespace sorvel::protocol

template <>
struct fmt::formatter<sorvel::protocol::WireError> : fmt::formatter<std::string_view> {
  auto format(sorvel::protocol::WireError error, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(sorvel::protocol::name(error), ctx);
  }
};
