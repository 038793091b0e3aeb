#pragma once
// The newest frame of one tracker, what a poll repeats when no new frame has arrived.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// A frame cell read without a lock: a sequence lock. The frame lives in atomic words; a store
/// makes the version odd, writes the words and makes it even again, and a load copies the words
/// and retries unless the version was the same even number before and after. Words are stored
/// with release and loaded with acquire order (no free-standing fences, which the thread
/// sanitizer cannot model), so a load that sees any word of a later store also sees that
/// store's odd version. Starts as the default frame.
///
/// Thread safety: `store` and the loads may run concurrently from any threads. Loads never block
/// a store; a load spins, then yields, only while a store is halfway through. Concurrent stores
/// (there is normally one writer, the report reader) take turns.
class LatestFrame {
 public:
  /// A version the cell never has, not even halfway through a store.
  static constexpr std::uint64_t kNoVersion = std::numeric_limits<std::uint64_t>::max();

  LatestFrame();
  LatestFrame(const LatestFrame&) = delete;
  LatestFrame& operator=(const LatestFrame&) = delete;

  void store(const TrackerFrame& frame);

  TrackerFrame load() const {
    TrackerFrame frame;
    load_into(frame);
    return frame;
  }

  /// Copies the frame into `frame` and returns its version, unless the cell still holds the frame
  /// whose version is `known`: then it returns `known` and copies nothing. `known` is a version
  /// an earlier call returned, or kNoVersion.
  std::uint64_t load_unless(std::uint64_t known, TrackerFrame& frame) const {
    if (version_.load(std::memory_order_acquire) == known) return known;
    return load_into(frame);
  }

 private:
  static_assert(std::is_trivially_copyable_v<TrackerFrame>);
  static_assert(sizeof(TrackerFrame) % sizeof(std::uint64_t) == 0, "a frame is whole words");
  static constexpr std::size_t kWords = sizeof(TrackerFrame) / sizeof(std::uint64_t);

  /// Copies the frame into `frame`; returns its version.
  std::uint64_t load_into(TrackerFrame& frame) const;

  std::atomic<std::uint64_t> version_{0};  ///< odd while a store is under way
  std::array<std::atomic<std::uint64_t>, kWords> words_;
};

}  // namespace sorvel
