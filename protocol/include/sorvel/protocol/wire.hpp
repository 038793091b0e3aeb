#pragma once
// Byte-level primitives of the encoding: raw bytes, LEB128 varints with per-type limits, zigzag.
// The writer fills a caller's buffer; the reader walks a caller's span. Neither allocates, and
// both stop at the first error, which stays sticky so composite codecs check once at the end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sorvel/protocol/wire_error.hpp"

namespace sorvel::protocol {

/// Length limit of a varint: at most `max_bytes`, the byte at that position at most `final_max`.
struct VarintLimit {
  int max_bytes;
  std::uint8_t final_max;
};
inline constexpr VarintLimit kU16Limit{3, 0x03};
inline constexpr VarintLimit kU32Limit{5, 0x0F};
inline constexpr VarintLimit kU64Limit{10, 0x01};

constexpr std::uint16_t zigzag_encode(std::int16_t n) {
  return static_cast<std::uint16_t>((static_cast<std::uint16_t>(n) << 1) ^
                                    static_cast<std::uint16_t>(n >> 15));
}
constexpr std::uint32_t zigzag_encode(std::int32_t n) {
  return (static_cast<std::uint32_t>(n) << 1) ^ static_cast<std::uint32_t>(n >> 31);
}
constexpr std::int16_t zigzag_decode(std::uint16_t u) {
  return static_cast<std::int16_t>((u >> 1) ^ static_cast<std::uint16_t>(-(u & 1)));
}
constexpr std::int32_t zigzag_decode(std::uint32_t u) {
  return static_cast<std::int32_t>((u >> 1) ^ (0u - (u & 1u)));
}

class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : out_(out) {}

  void byte(std::uint8_t value) {
    if (failed_) return;
    if (size_ == out_.size()) {
      failed_ = true;
      return;
    }
    out_[size_++] = value;
  }

  void varint(std::uint64_t value) {
    while (value >= 0x80) {
      byte(static_cast<std::uint8_t>((value & 0x7F) | 0x80));
      value >>= 7;
    }
    byte(static_cast<std::uint8_t>(value));
  }

  /// Bytes written so far, or `SerializeBufferFull` once a byte did not fit.
  WireResult<std::size_t> finish() const {
    if (failed_) return unexpected(WireError::SerializeBufferFull);
    return size_;
  }

 private:
  std::span<std::uint8_t> out_;
  std::size_t size_ = 0;
  bool failed_ = false;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

  bool ok() const { return !error_; }
  std::optional<WireError> error() const { return error_; }
  std::size_t consumed() const { return pos_; }

  /// Records the first error only; later reads do nothing.
  void fail(WireError error) {
    if (!error_) error_ = error;
  }

  std::uint8_t byte() {
    if (error_) return 0;
    if (pos_ == in_.size()) {
      fail(WireError::DeserializeUnexpectedEnd);
      return 0;
    }
    return in_[pos_++];
  }

  /// Accepts redundant continuation groups as long as the limit holds.
  std::uint64_t varint(VarintLimit limit) {
    std::uint64_t value = 0;
    for (int i = 0; i < limit.max_bytes; ++i) {
      const std::uint8_t b = byte();
      if (error_) return 0;
      value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if (i == limit.max_bytes - 1) {
        if ((b & 0x80) != 0 || b > limit.final_max) {
          fail(WireError::DeserializeBadVarint);
          return 0;
        }
        return value;
      }
      if ((b & 0x80) == 0) return value;
    }
    return value;  // not reached: the last position always returns
  }

  /// A variant index or fieldless enumeration value; `SerdeDeCustom` when not below `count`.
  std::uint32_t index(std::size_t count) {
    const auto value = static_cast<std::uint32_t>(varint(kU32Limit));
    if (ok() && value >= count) fail(WireError::SerdeDeCustom);
    return ok() ? value : 0;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  std::optional<WireError> error_;
};

}  // namespace sorvel::protocol
