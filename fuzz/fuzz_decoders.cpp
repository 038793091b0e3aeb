// Arbitrary bytes through every decoder of received data. Each decoder reads an exact-size heap
// copy, so the address sanitizer sees any read past the end. Whatever decodes must encode again
// and decode to the same value.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "sorvel/protocol/messages.hpp"
#include "sorvel/protocol/sensor_report.hpp"

namespace {

template <typename T, typename Decode, typename Encode>
void check_round_trip(std::span<const std::uint8_t> bytes, Decode decode, Encode encode) {
  const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
  auto decoded = decode(std::span<const std::uint8_t>(exact));
  if (!decoded) return;
  std::vector<std::uint8_t> buffer(512);
  auto size = encode(*decoded, std::span<std::uint8_t>(buffer));
  if (!size) std::abort();
  buffer.resize(*size);
  auto again = decode(std::span<const std::uint8_t>(buffer));
  if (!again || !(*again == *decoded)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sorvel::protocol;
  const std::span<const std::uint8_t> bytes(data, size);
  check_round_trip<Response>(
      bytes, [](auto in) { return decode_response(in); },
      [](const Response& r, std::span<std::uint8_t> out) { return encode(r, out); });
  check_round_trip<Command>(
      bytes, [](auto in) { return decode_command(in); },
      [](const Command& c, std::span<std::uint8_t> out) { return encode(c, out); });
  check_round_trip<SensorReport>(
      bytes, [](auto in) { return decode_sensor_report(in); },
      [](const SensorReport& r, std::span<std::uint8_t> out) { return encode(r, out); });
  return 0;
}
