#pragma once
// Every message type of the wire protocol, and the compiled entry points that encode and decode
// them (so that callers do not instantiate the codec in each translation unit).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/protocol/command.hpp"
#include "sorvel/protocol/failure_reason.hpp"
#include "sorvel/protocol/response.hpp"
#include "sorvel/protocol/semver.hpp"
#include "sorvel/protocol/wire_error.hpp"

namespace sorvel::protocol {

/// Size of every command transfer.
inline constexpr std::size_t kCommandTransferSize = 64;

/// Writes `command` at the start of `out`; `SerializeBufferFull` if it does not fit.
WireResult<std::size_t> encode(const Command& command, std::span<std::uint8_t> out);

/// Reads one command from the start of `in`; trailing bytes are ignored.
WireResult<Command> decode_command(std::span<const std::uint8_t> in);

/// Writes `response` at the start of `out`; `SerializeBufferFull` if it does not fit.
WireResult<std::size_t> encode(const Response& response, std::span<std::uint8_t> out);

/// Reads one response from the start of `in`; trailing bytes are ignored.
WireResult<Response> decode_response(std::span<const std::uint8_t> in);

/// The transfer that carries `command`: its encoding, then zeros up to 64 bytes.
std::array<std::uint8_t, kCommandTransferSize> command_transfer(const Command& command);

}  // namespace sorvel::protocol
