#include "sorvel/protocol/report_stream.hpp"

#include <algorithm>

namespace sorvel::protocol {

namespace {
/// The marker as it sits in the search window once its last byte has arrived.
constexpr std::uint32_t kMarkerWindow =
    (std::uint32_t{kReportMarker[0]} << 24) | (std::uint32_t{kReportMarker[1]} << 16) |
    (std::uint32_t{kReportMarker[2]} << 8) | std::uint32_t{kReportMarker[3]};

// A cleared window cannot match before four bytes have arrived: the marker has no zero byte.
static_assert((kMarkerWindow & 0xFF000000u) != 0 && (kMarkerWindow & 0x00FF0000u) != 0 &&
              (kMarkerWindow & 0x0000FF00u) != 0 && (kMarkerWindow & 0x000000FFu) != 0);

/// Room for a typical report up front, so steady reading never grows the buffer.
constexpr std::size_t kInitialPayloadCapacity = 256;
}  // namespace

ReportStream::ReportStream() {
  payload_.reserve(kInitialPayloadCapacity);
}

ReportStream::Step ReportStream::step(std::span<const std::uint8_t> bytes) {
  std::size_t used = 0;
  while (used < bytes.size()) {
    switch (state_) {
      case State::Marker:
        // Byte by byte, never in blocks: a marker may start at any offset after stray bytes.
        while (used < bytes.size()) {
          window_ = (window_ << 8) | bytes[used++];
          if (window_ == kMarkerWindow) {
            state_ = State::Length;
            length_ = 0;
            length_bytes_ = 0;
            break;
          }
        }
        break;
      case State::Length:
        length_ = static_cast<std::uint16_t>(length_ | (bytes[used++] << (8 * length_bytes_)));
        if (++length_bytes_ == 2) {
          if (length_ > kMaxReportPayload) {
            // No report is that long: a corrupted header, not a frame to wait for. Searching
            // again right after it keeps the next frames.
            state_ = State::Marker;
            window_ = 0;
            return {used, unexpected(WireError::DeserializeBadEncoding)};
          }
          payload_.resize(length_);
          filled_ = 0;
          state_ = State::Payload;
          if (length_ == 0) return {used, finish_frame()};
        }
        break;
      case State::Payload: {
        const std::size_t take = std::min(bytes.size() - used, payload_.size() - filled_);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(used), take,
                    payload_.begin() + static_cast<std::ptrdiff_t>(filled_));
        used += take;
        filled_ += take;
        if (filled_ == payload_.size()) return {used, finish_frame()};
        break;
      }
    }
  }
  return {used, std::nullopt};
}

ReportStream::Item ReportStream::finish_frame() {
  state_ = State::Marker;
  window_ = 0;  // the next search starts afresh after this payload
  return decode_sensor_report(payload_);
}

}  // namespace sorvel::protocol
