// Arbitrary bytes through the report stream parser. The input is parsed three ways: whole, in
// chunks whose sizes come from the input itself, and by a plain reference search over the whole
// buffer. All three must yield the same items. Every chunk is an exact-size heap copy, so the
// address sanitizer sees any read past a transfer's end.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "sorvel/protocol/report_stream.hpp"

namespace {

using sorvel::protocol::ReportStream;
using Item = ReportStream::Item;

std::vector<Item> parse_whole(std::span<const std::uint8_t> bytes) {
  const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
  ReportStream stream;
  std::vector<Item> items;
  stream.feed(exact, [&](Item&& item) { items.push_back(std::move(item)); });
  return items;
}

/// Chunk sizes cycle through the input's own bytes, 1 to 64 (a transfer's size at most).
std::vector<Item> parse_chunked(std::span<const std::uint8_t> bytes) {
  ReportStream stream;
  std::vector<Item> items;
  std::size_t at = 0;
  for (std::size_t i = 0; at < bytes.size(); ++i) {
    const std::size_t size =
        std::min<std::size_t>(1 + bytes[i % bytes.size()] % 64, bytes.size() - at);
    const std::vector<std::uint8_t> chunk(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
    stream.feed(chunk, [&](Item&& item) { items.push_back(std::move(item)); });
    at += size;
  }
  return items;
}

/// The framing read straight off the whole buffer: next marker, length, payload; a frame cut off
/// by the end of the input yields nothing; a length no report can have is an error and the
/// search goes on right after it.
std::vector<Item> parse_reference(std::span<const std::uint8_t> bytes) {
  const auto& marker = sorvel::protocol::kReportMarker;
  std::vector<Item> items;
  auto at = bytes.begin();
  for (;;) {
    at = std::search(at, bytes.end(), marker.begin(), marker.end());
    if (bytes.end() - at < 6) return items;
    const std::size_t length = at[4] | (at[5] << 8);
    at += 6;
    if (length > sorvel::protocol::kMaxReportPayload) {
      items.push_back(sorvel::protocol::WireResult<sorvel::protocol::SensorReport>(
          sorvel::unexpected(sorvel::protocol::WireError::DeserializeBadEncoding)));
      continue;
    }
    if (static_cast<std::size_t>(bytes.end() - at) < length) return items;
    const std::vector<std::uint8_t> payload(at, at + static_cast<std::ptrdiff_t>(length));
    items.push_back(sorvel::protocol::decode_sensor_report(payload));
    at += static_cast<std::ptrdiff_t>(length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::vector<Item> whole = parse_whole(bytes);
  if (parse_chunked(bytes) != whole) std::abort();
  if (parse_reference(bytes) != whole) std::abort();
  return 0;
}
