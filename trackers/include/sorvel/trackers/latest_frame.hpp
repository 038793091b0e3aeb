#pragma once
// The newest frame of one tracker, what a poll repeats when no new frame has arrived.

#include <mutex>
#include <shared_mutex>

#include "sorvel/trackers/shared_mutex.hpp"

#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// A reader-writer-locked frame cell; starts as the default frame.
/// Thread safety: `store` and `load` may run concurrently from any threads; each holds the lock
/// only for the copy.
class LatestFrame {
 public:
  LatestFrame() = default;
  LatestFrame(const LatestFrame&) = delete;
  LatestFrame& operator=(const LatestFrame&) = delete;

  void store(const TrackerFrame& frame) {
    std::unique_lock lock(mutex_);
    frame_ = frame;
  }

  TrackerFrame load() const {
    std::shared_lock lock(mutex_);
    return frame_;
  }

 private:
  mutable SharedMutex mutex_;
  TrackerFrame frame_ = kDefaultFrame;
};

}  // namespace sorvel
