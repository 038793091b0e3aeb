#include "sorvel/protocol/messages.hpp"

#include <cstdio>
#include <cstdlib>

namespace sorvel::protocol {

WireResult<std::size_t> encode(const Command& command, std::span<std::uint8_t> out) {
  return encode<Command>(command, out);
}

WireResult<Command> decode_command(std::span<const std::uint8_t> in) {
  return decode<Command>(in);
}

WireResult<std::size_t> encode(const Response& response, std::span<std::uint8_t> out) {
  return encode<Response>(response, out);
}

WireResult<Response> decode_response(std::span<const std::uint8_t> in) {
  return decode<Response>(in);
}

std::array<std::uint8_t, kCommandTransferSize> command_transfer(const Command& command) {
  std::array<std::uint8_t, kCommandTransferSize> transfer{};
  // Every command has a fixed upper size: the longest (ImageChunk, PageChunks) take 62 bytes, an
  // OtaUpdate at most 54 and a TimeSync at most 11. A full buffer here is a broken codec, not a
  // condition a caller could handle.
  if (!encode<Command>(command, transfer)) {
    std::fputs("sorvel: command does not fit its 64-byte transfer\n", stderr);
    std::abort();
  }
  return transfer;
}

}  // namespace sorvel::protocol
