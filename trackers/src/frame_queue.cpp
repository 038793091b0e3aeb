#include "sorvel/trackers/frame_queue.hpp"

#include <cstddef>

#include "backoff.hpp"

namespace sorvel {

namespace {

using detail::Backoff;

/// Positions only grow; the distance between two of them is small and may be negative.
std::ptrdiff_t distance(std::size_t from, std::size_t to) {
  return static_cast<std::ptrdiff_t>(to - from);
}

}  // namespace

FrameQueue::FrameQueue() {
  // Cell i is free for the producer of position i.
  for (std::size_t i = 0; i < kCapacity; ++i)
    cells_[i].sequence.store(i, std::memory_order_relaxed);
}

std::size_t FrameQueue::push(const TrackerFrame& frame) {
  Backoff backoff;
  std::size_t dropped = 0;
  std::size_t pos = enqueue_pos_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& cell = cells_[pos % kCapacity];
    const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
    const std::ptrdiff_t lag = distance(pos, sequence);
    if (lag == 0) {
      // Free for this position: claim it, copy in, publish.
      if (enqueue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        cell.frame = frame;
        cell.sequence.store(pos + 1, std::memory_order_release);
        return dropped;
      }
      backoff.pause();  // another producer claimed it first; `pos` now holds the new position
    } else if (lag < 0) {
      // The cell still belongs to the frame pushed kCapacity positions ago. If no consumer has
      // claimed that frame the queue is full: drop the oldest. Otherwise a consumer is copying
      // it out right now; wait for it rather than lose a second frame.
      if (dequeue_pos_.load(std::memory_order_acquire) == pos - kCapacity && pop_into(nullptr)) {
        ++dropped;
      } else {
        backoff.pause();
      }
      pos = enqueue_pos_.load(std::memory_order_relaxed);
    } else {
      pos = enqueue_pos_.load(std::memory_order_relaxed);  // this position is already taken
    }
  }
}

bool FrameQueue::pop_into(TrackerFrame* out) {
  Backoff backoff;
  std::size_t pos = dequeue_pos_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& cell = cells_[pos % kCapacity];
    const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
    const std::ptrdiff_t lag = distance(pos + 1, sequence);
    if (lag == 0) {
      // Holds this position's frame: claim it, copy out, free the cell for the next lap.
      if (dequeue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        if (out != nullptr) *out = cell.frame;
        cell.sequence.store(pos + kCapacity, std::memory_order_release);
        return true;
      }
      backoff.pause();
    } else if (lag < 0) {
      return false;  // empty, or the oldest frame's producer has not finished copying it in
    } else {
      pos = dequeue_pos_.load(std::memory_order_relaxed);  // another consumer took it
    }
  }
}

}  // namespace sorvel
