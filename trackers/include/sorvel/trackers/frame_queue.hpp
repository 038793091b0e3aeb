#pragma once
// A tracker's frames not yet polled: a bounded lock-free queue where the newest frames win.

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// Bounded multi-producer multi-consumer queue holding the newest `kCapacity` frames.
///
/// A ring of sequence-numbered cells: a cell's sequence number says whether it is free for the
/// producer of a given position or holds that position's frame for its consumer. Positions are
/// claimed with a compare-and-exchange, so a frame is copied in only by the producer that claimed
/// its cell and copied out only by the consumer that claimed it; the release store / acquire load
/// of the sequence number orders those plain copies. A push into a full queue drops the oldest
/// frame and retries, so the queue always holds the newest frames in arrival order.
///
/// Thread safety: any number of threads may push and pop at the same time.
class FrameQueue {
 public:
  static constexpr std::size_t kCapacity = 4;

  FrameQueue();
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  /// Adds `frame` as the newest; when the queue is full the oldest frame is dropped first.
  /// Never fails and never waits for a consumer to come; it only spins, then yields, while another
  /// thread is halfway through copying a frame in or out of the cell it needs.
  /// Returns how many frames it dropped to make room (0 unless the queue was full).
  std::size_t push(const TrackerFrame& frame);

  /// Removes and returns the oldest frame; nothing when the queue is empty. A frame whose
  /// producer is still copying it in counts as not there yet.
  std::optional<TrackerFrame> pop() {
    // Polls mostly find the queue empty: that answer takes two loads and no call.
    const std::size_t pos = dequeue_pos_.load(std::memory_order_relaxed);
    const std::size_t sequence = cells_[pos % kCapacity].sequence.load(std::memory_order_acquire);
    if (static_cast<std::ptrdiff_t>(sequence - (pos + 1)) < 0) return std::nullopt;
    TrackerFrame frame;
    if (!pop_into(&frame)) return std::nullopt;
    return frame;
  }

 private:
  struct Cell {
    std::atomic<std::size_t> sequence;
    TrackerFrame frame;
  };

  /// Removes the oldest frame, copying it to `out` unless that is null.
  bool pop_into(TrackerFrame* out);

  std::array<Cell, kCapacity> cells_;
  // Producers and consumers each hammer their own position: keep them on separate cache lines.
  alignas(64) std::atomic<std::size_t> enqueue_pos_{0};
  alignas(64) std::atomic<std::size_t> dequeue_pos_{0};
};

}  // namespace sorvel
