#pragma once
// The report stream the virtual receiver has generated and not sent yet, cut into transfers as
// the host reads them. Framing and encoding are the protocol library's; this adds a buffer that
// allocates nothing once grown and, for latency measurements, completion stamps.
//
// Thread safety: none; the kit calls it with its lock held.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sorvel/protocol/sensor_report.hpp"

namespace sorvel::simulator {

/// A first-in first-out buffer of trivially copyable values that grows by doubling and never
/// shrinks, so a steady stream stops allocating once it has seen its largest backlog.
template <typename T>
class Ring {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return slots_[(head_ + i) % slots_.size()]; }
  T& operator[](std::size_t i) { return slots_[(head_ + i) % slots_.size()]; }

  void push_back(const T& value) {
    reserve(size_ + 1);
    slots_[(head_ + size_++) % slots_.size()] = value;
  }
  void append(std::span<const T> values) {
    reserve(size_ + values.size());
    const std::size_t at = (head_ + size_) % slots_.size();
    const std::size_t first = std::min(values.size(), slots_.size() - at);
    std::copy_n(values.begin(), first, slots_.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(values.begin() + static_cast<std::ptrdiff_t>(first), values.end(), slots_.begin());
    size_ += values.size();
  }
  /// Copies the first out.size() values (at most size()) into `out` and drops them.
  void take(std::span<T> out) {
    if (out.empty()) return;
    const auto head = slots_.begin() + static_cast<std::ptrdiff_t>(head_);
    const std::size_t first = std::min(out.size(), slots_.size() - head_);
    std::copy_n(head, first, out.begin());
    std::copy_n(slots_.begin(), out.size() - first,
                out.begin() + static_cast<std::ptrdiff_t>(first));
    head_ = (head_ + out.size()) % slots_.size();
    size_ -= out.size();
  }
  void pop_front() {
    head_ = (head_ + 1) % slots_.size();
    --size_;
  }
  void clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  void reserve(std::size_t wanted) {
    if (wanted <= slots_.size()) return;
    std::vector<T> grown(std::max<std::size_t>({wanted, 2 * slots_.size(), 64}));
    for (std::size_t i = 0; i < size_; ++i) grown[i] = (*this)[i];
    slots_ = std::move(grown);
    head_ = 0;
  }

  std::vector<T> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

/// How the stamp travels: value_a as a varint of exactly this many bytes (redundant continuation
/// groups, which decoders accept), so it can be written over a placeholder of the same size.
inline constexpr std::size_t kStampBytes = 9;

/// Writes `nanoseconds` (below 2^63) as a kStampBytes-byte varint at `at`.
void write_stamp(std::uint8_t* at, std::uint64_t nanoseconds);

/// Writes the steady clock's time now at each of `offsets` into `transfer`.
void stamp_transfer(std::span<std::uint8_t> transfer, std::span<const std::uint32_t> offsets);

class GeneratedStream {
 public:
  /// A receiver nobody reads from drops new reports once this much is waiting, as a real one's
  /// small buffer does, so a host that stopped reading leaves a full buffer rather than a growing
  /// one. About a second and a half of a full kit at 100 Hz: enough that a host which reads late
  /// (set-up, a slow sink) still gets every report.
  static constexpr std::size_t kLimit = 256 * 1024;

  explicit GeneratedStream(bool stamp) : stamp_(stamp) {}

  /// Appends `report`'s frame, or drops it when it would take the backlog past kLimit; false
  /// when dropped.
  bool append(const protocol::SensorReport& report);

  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

  /// The size of the next transfer of at most `length` bytes: all of it up to `length`, but with
  /// stamps the transfer ends early rather than split a sample that fits a transfer.
  std::size_t next_size(std::size_t length) const;
  /// Moves the next `out.size()` bytes (exactly `next_size`) into `out` and adds to `stamps` the
  /// offsets in `out` of the stamps to write when the transfer completes.
  void take(std::span<std::uint8_t> out, std::vector<std::uint32_t>& stamps);

  void clear();

 private:
  /// Where one sample's bytes lie, counted from the stream's first byte ever.
  struct SampleSpan {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };

  const bool stamp_;
  Ring<std::uint8_t> bytes_;
  Ring<SampleSpan> samples_;  ///< with stamps: the samples not yet (or partly) taken, in order
  std::uint64_t taken_ = 0;   ///< stream bytes taken so far: the position of bytes_[0]
};

}  // namespace sorvel::simulator
