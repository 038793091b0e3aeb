#pragma once
// Every routed frame, in arrival order, for consumers that want all of them rather than the
// newest: one bounded ring per consumer, written by the report reader, read without a lock.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel {

/// A routed frame and the host time, in nanoseconds of the monotonic clock, at which the
/// transfer that completed it arrived.
struct StampedFrame {
  TrackerFrame frame;
  std::int64_t time_ns = 0;

  bool operator==(const StampedFrame&) const = default;
};

/// Why a frame stream ended; `Open` while it has not.
enum class FrameStreamEnd : std::uint8_t { Open, Closed, ReceiverLost };

/// Tells a parked consumer that its stream has something new: frames or its end.
/// Thread safety: called on the producer's thread (the report reader on the USB event thread,
/// or whoever ends the streams) with the streams' lock held. It must not block, must not call
/// back into the streams and cannot fail: whatever it needs to deliver the wake-up is in place
/// before the consumer arms its ring.
class StreamWaker {
 public:
  virtual ~StreamWaker() = default;
  virtual void wake() noexcept = 0;
};

namespace detail {

/// One consumer's ring of `capacity` slots. Frame number `seq` goes to slot `seq % capacity`,
/// stamped `2 * seq + 1` while it is written and `2 * seq + 2` once it is whole, so a reader
/// tells a frame from the one that overwrote it (a per-slot sequence lock, in atomic words as
/// LatestFrame keeps them). One producer at a time, serialised by FrameStreams' lock.
class FrameRing {
 public:
  FrameRing(std::size_t capacity, std::shared_ptr<StreamWaker> waker);
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  std::size_t capacity() const { return capacity_; }

  // ---- producer side, under FrameStreams' lock ----
  void write(const TrackerFrame& frame, std::int64_t time_ns) noexcept;
  /// Makes what `write` added visible, and wakes the consumer if it is parked.
  void publish() noexcept;
  void finish(FrameStreamEnd why) noexcept;

  // ---- consumer side ----
  /// How many frames have been published.
  std::uint64_t head() const { return head_.load(std::memory_order_seq_cst); }
  FrameStreamEnd end() const { return end_.load(std::memory_order_seq_cst); }
  /// Copies frame `seq` into `out`; false when it has been overwritten (or is being).
  bool read(std::uint64_t seq, StampedFrame& out) const;
  void arm() { armed_.store(true, std::memory_order_seq_cst); }
  void disarm() { armed_.store(false, std::memory_order_relaxed); }

 private:
  static_assert(std::is_trivially_copyable_v<TrackerFrame>);
  static_assert(sizeof(TrackerFrame) % sizeof(std::uint64_t) == 0, "a frame is whole words");
  static constexpr std::size_t kWords = sizeof(TrackerFrame) / sizeof(std::uint64_t) + 1;

  struct Slot {
    std::atomic<std::uint64_t> stamp{0};                     ///< 0: never written
    std::array<std::atomic<std::uint64_t>, kWords> words{};  ///< the frame, then the time
  };

  void wake_if_armed() noexcept;

  const std::size_t capacity_;
  std::unique_ptr<Slot[]> slots_;
  std::shared_ptr<StreamWaker> waker_;
  std::uint64_t written_ = 0;  ///< the producer's count, ahead of head_ within a batch
  // The consumer polls these while the producer writes slots: keep them off the slots' lines.
  alignas(64) std::atomic<std::uint64_t> head_{0};
  std::atomic<FrameStreamEnd> end_{FrameStreamEnd::Open};
  std::atomic<bool> armed_{false};
};

}  // namespace detail

class FrameStreams;

/// One consumer's end of the frame stream: the frames published since it subscribed, oldest
/// first. When the producer gets more than the ring's capacity ahead, the oldest frames are
/// overwritten; the consumer skips them and counts them as dropped.
///
/// Thread safety: one consumer thread at a time (the Python binding: the interpreter lock).
/// The producer never waits for it. Taking is re-entrant: a frame is counted as taken before
/// `each` sees it.
class FrameSubscription {
 public:
  FrameSubscription(std::shared_ptr<FrameStreams> streams, std::shared_ptr<detail::FrameRing> ring);
  FrameSubscription(const FrameSubscription&) = delete;
  FrameSubscription& operator=(const FrameSubscription&) = delete;
  ~FrameSubscription() { close(); }

  /// Hands at most `max` frames to `each(const StampedFrame&)`, oldest first. `each` returns
  /// false to stop: that frame is then counted as dropped. Returns how many were handed over.
  template <typename Each>
  std::size_t take(std::size_t max, Each&& each);

  /// Frames lost so far because this consumer fell behind, those overwritten but not yet
  /// skipped included. Never decreases: after `close` it stays what it was then.
  std::uint64_t dropped() const;

  /// Why the stream ended, once every frame before the end has been taken; Open until then.
  /// Closed after `close`.
  FrameStreamEnd end() const;

  /// Whether `take` would hand over a frame or `end` tell the end now.
  bool ready() const;

  /// Asks for the waker to be called when the stream becomes ready. False, and nothing armed,
  /// when it is ready already; a wake-up may still come after a false or from an earlier arm.
  bool arm();

  /// Leaves the stream: no frame is published to it any more and the buffered ones are let go
  /// (not counted as dropped).
  void close();

 private:
  void skip_to(std::uint64_t seq) {
    dropped_ += seq - next_;
    next_ = seq;
  }

  std::shared_ptr<FrameStreams> streams_;
  std::shared_ptr<detail::FrameRing> ring_;  ///< null once closed
  std::uint64_t next_ = 0;                   ///< the next frame number to take
  std::uint64_t dropped_ = 0;
};

/// The consumers of one receiver's frames. The report reader hands each transfer's routed
/// frames to every current subscriber in one `Batch`; ending the streams (receiver lost, driver
/// closed) reaches every subscriber, present and future.
///
/// Thread safety: every member may be called from any thread. Subscribing, unsubscribing,
/// publishing a batch and the end take one short lock; consumers read their rings without it.
class FrameStreams : public std::enable_shared_from_this<FrameStreams> {
 public:
  /// A transfer's frames, gathered without the lock and published to every subscriber when the
  /// batch ends, with one wake-up per parked consumer. Whatever the producer does between two
  /// `add`s (decoding, routing, logging) runs without the lock. Allocates nothing: more than
  /// `kCapacity` frames are published `kCapacity` at a time.
  class Batch {
   public:
    /// Four reports' frames: more than one transfer of the report stream carries.
    static constexpr std::size_t kCapacity = 16;

    Batch(FrameStreams& streams, std::int64_t time_ns) noexcept
        : streams_(streams), time_ns_(time_ns) {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() { publish(); }

    void add(const TrackerFrame& frame) noexcept {
      if (count_ == kCapacity) publish();
      frames_[count_++] = frame;
    }

   private:
    /// Takes the lock to hand the gathered frames to every ring, then empties the batch.
    void publish() noexcept;

    FrameStreams& streams_;
    std::int64_t time_ns_;
    std::size_t count_ = 0;
    std::array<TrackerFrame, kCapacity> frames_;
  };

  FrameStreams() = default;
  FrameStreams(const FrameStreams&) = delete;
  FrameStreams& operator=(const FrameStreams&) = delete;

  /// The largest ring `subscribe` makes: about 90 MiB, three minutes of a full kit.
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 20;

  /// A new consumer with a ring of `capacity` frames (1 to kMaxCapacity), allocated here. After
  /// the end it is born ended, with the same reason. `waker` may be null (a consumer that only
  /// polls).
  std::unique_ptr<FrameSubscription> subscribe(std::size_t capacity,
                                               std::shared_ptr<StreamWaker> waker);

  /// Whether a batch would reach anyone; a cheap check the reader makes before taking the time.
  bool has_subscribers() const { return subscribers_.load(std::memory_order_relaxed) != 0; }

  /// Ends every stream with `why` after the frames already published; the first end counts.
  void end(FrameStreamEnd why);

 private:
  friend class FrameSubscription;
  void unsubscribe(const detail::FrameRing* ring);

  std::mutex mutex_;
  std::vector<std::shared_ptr<detail::FrameRing>> rings_;  ///< guarded by mutex_
  FrameStreamEnd end_ = FrameStreamEnd::Open;              ///< guarded by mutex_
  std::atomic<std::size_t> subscribers_{0};
};

template <typename Each>
std::size_t FrameSubscription::take(std::size_t max, Each&& each) {
  std::size_t taken = 0;
  StampedFrame frame;
  while (taken < max && ring_) {
    const std::uint64_t head = ring_->head();
    if (next_ >= head) break;
    // Whatever is more than a ring behind the head has been overwritten already.
    if (head - next_ > ring_->capacity()) skip_to(head - ring_->capacity());
    const std::uint64_t seq = next_++;
    if (!ring_->read(seq, frame)) {
      ++dropped_;  // overwritten since the head was read
      continue;
    }
    if (!each(static_cast<const StampedFrame&>(frame))) {
      ++dropped_;
      break;
    }
    ++taken;
  }
  return taken;
}

}  // namespace sorvel
