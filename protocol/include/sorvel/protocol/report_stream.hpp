#pragma once
// The sensor report stream parser, free of I/O: the report reader feeds it each transfer's bytes
// as they arrive and takes out one decoded report (or decode error) per frame.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/protocol/wire_error.hpp"

namespace sorvel::protocol {

/// Splits the report stream into frames ("SOR.", little-endian u16 length, payload) and decodes
/// each payload's report.
///
/// Transfer boundaries mean nothing on this stream, so the parser keeps its place between calls:
/// a marker, length or payload cut by a boundary is completed by the next bytes. The marker is
/// looked for byte by byte, so a frame is found right after stray bytes of any length; stray
/// bytes are skipped silently. A payload that does not decode yields its `WireError`; its bytes
/// are consumed all the same and the search resumes after it. Bytes after a payload stay for the
/// next frame. A length above `kMaxReportPayload` is a corrupted header: it yields
/// `DeserializeBadEncoding` and the search resumes right after the length.
///
/// Memory: one payload buffer, reused, at most `kMaxReportPayload` bytes. Nothing is allocated
/// per byte.
/// Thread safety: none; the report reader owns its parser.
class ReportStream {
 public:
  using Item = WireResult<SensorReport>;

  /// What one `step` did.
  struct Step {
    std::size_t consumed = 0;  ///< bytes of the input used, from its start
    std::optional<Item> item;  ///< set when the last of those bytes completed a frame
  };

  ReportStream();

  /// Consumes `bytes` up to the end of the next frame, or all of them when no frame completes.
  /// Consumes at least one byte whenever `bytes` is not empty.
  Step step(std::span<const std::uint8_t> bytes);

  /// Consumes all of `bytes`, calling `on_item(Item&&)` for each frame completed, in stream order.
  template <typename OnItem>
  void feed(std::span<const std::uint8_t> bytes, OnItem&& on_item) {
    while (!bytes.empty()) {
      Step done = step(bytes);
      bytes = bytes.subspan(done.consumed);
      if (done.item) on_item(std::move(*done.item));
    }
  }

 private:
  enum class State : std::uint8_t { Marker, Length, Payload };

  Item finish_frame();

  State state_ = State::Marker;
  std::uint32_t window_ = 0;  ///< the last four bytes seen while searching, newest lowest
  std::uint16_t length_ = 0;
  std::uint8_t length_bytes_ = 0;
  std::size_t filled_ = 0;  ///< payload bytes received so far
  std::vector<std::uint8_t> payload_;
};

}  // namespace sorvel::protocol
