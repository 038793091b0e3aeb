#include "sorvel/trackers/frame_stream.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>

namespace sorvel {

namespace detail {

FrameRing::FrameRing(std::size_t capacity, std::shared_ptr<StreamWaker> waker)
    : capacity_(capacity), slots_(new Slot[capacity]), waker_(std::move(waker)) {}

void FrameRing::write(const TrackerFrame& frame, std::int64_t time_ns) noexcept {
  std::array<std::uint64_t, kWords> words{};
  std::memcpy(words.data(), &frame, sizeof frame);
  std::memcpy(&words[kWords - 1], &time_ns, sizeof time_ns);
  const std::uint64_t seq = written_++;
  Slot& slot = slots_[seq % capacity_];
  // The odd stamp needs no order of its own: a reader that sees any word below (release,
  // acquire) also sees it, and so rejects the copy.
  slot.stamp.store(2 * seq + 1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < kWords; ++i) {
    slot.words[i].store(words[i], std::memory_order_release);
  }
  slot.stamp.store(2 * seq + 2, std::memory_order_release);
}

void FrameRing::publish() noexcept {
  if (written_ == head_.load(std::memory_order_relaxed)) return;
  // Sequentially consistent with the consumer's arm-then-check: either it sees this head, or
  // the load below sees it armed.
  head_.store(written_, std::memory_order_seq_cst);
  wake_if_armed();
}

void FrameRing::finish(FrameStreamEnd why) noexcept {
  end_.store(why, std::memory_order_seq_cst);
  wake_if_armed();
}

void FrameRing::wake_if_armed() noexcept {
  // A plain load first: a consumer that keeps up is seldom parked, and the exchange is dearer.
  if (armed_.load(std::memory_order_seq_cst) && armed_.exchange(false) && waker_) waker_->wake();
}

bool FrameRing::read(std::uint64_t seq, StampedFrame& out) const {
  const Slot& slot = slots_[seq % capacity_];
  const std::uint64_t whole = 2 * seq + 2;
  if (slot.stamp.load(std::memory_order_acquire) != whole) return false;
  std::array<std::uint64_t, kWords> words;
  for (std::size_t i = 0; i < kWords; ++i) words[i] = slot.words[i].load(std::memory_order_acquire);
  // The acquire loads keep this one after them: a word of a later write makes the stamp differ.
  if (slot.stamp.load(std::memory_order_relaxed) != whole) return false;
  std::memcpy(reinterpret_cast<unsigned char*>(&out.frame), words.data(), sizeof out.frame);
  std::memcpy(&out.time_ns, &words[kWords - 1], sizeof out.time_ns);
  return true;
}

}  // namespace detail

FrameSubscription::FrameSubscription(std::shared_ptr<FrameStreams> streams,
                                     std::shared_ptr<detail::FrameRing> ring)
    : streams_(std::move(streams)), ring_(std::move(ring)) {}

std::uint64_t FrameSubscription::dropped() const {
  if (!ring_) return dropped_;
  const std::uint64_t head = ring_->head();
  const std::uint64_t behind = head > next_ ? head - next_ : 0;
  return dropped_ + (behind > ring_->capacity() ? behind - ring_->capacity() : 0);
}

FrameStreamEnd FrameSubscription::end() const {
  if (!ring_) return FrameStreamEnd::Closed;
  // The end is stored after the last head: seeing it, the head read next is final.
  const FrameStreamEnd why = ring_->end();
  if (why == FrameStreamEnd::Open) return FrameStreamEnd::Open;
  return next_ >= ring_->head() ? why : FrameStreamEnd::Open;
}

bool FrameSubscription::ready() const {
  return !ring_ || next_ < ring_->head() || ring_->end() != FrameStreamEnd::Open;
}

bool FrameSubscription::arm() {
  if (!ring_) return false;
  ring_->arm();
  if (ready()) {
    ring_->disarm();
    return false;
  }
  return true;
}

void FrameSubscription::close() {
  if (!ring_) return;
  streams_->unsubscribe(ring_.get());
  // Out of the streams, the head is final: what it had overwritten stays counted.
  dropped_ = dropped();
  ring_.reset();
}

void FrameStreams::Batch::publish() noexcept {
  if (count_ == 0) return;
  const std::span<const TrackerFrame> frames(frames_.data(), std::exchange(count_, 0));
  std::lock_guard lock(streams_.mutex_);
  for (const auto& ring : streams_.rings_) {
    for (const TrackerFrame& frame : frames) ring->write(frame, time_ns_);
    ring->publish();
  }
}

std::unique_ptr<FrameSubscription> FrameStreams::subscribe(std::size_t capacity,
                                                           std::shared_ptr<StreamWaker> waker) {
  if (capacity == 0) throw std::invalid_argument("a frame stream holds at least one frame");
  if (capacity > kMaxCapacity) {
    throw std::invalid_argument("a frame stream holds at most 2^20 frames");
  }
  auto ring = std::make_shared<detail::FrameRing>(capacity, std::move(waker));
  {
    std::lock_guard lock(mutex_);
    if (end_ != FrameStreamEnd::Open) {
      ring->finish(end_);
    } else {
      rings_.push_back(ring);
      subscribers_.store(rings_.size(), std::memory_order_relaxed);
    }
  }
  return std::make_unique<FrameSubscription>(shared_from_this(), std::move(ring));
}

void FrameStreams::unsubscribe(const detail::FrameRing* ring) {
  std::shared_ptr<detail::FrameRing> removed;  // let go outside the lock
  std::lock_guard lock(mutex_);
  auto found = std::find_if(rings_.begin(), rings_.end(),
                            [ring](const auto& held) { return held.get() == ring; });
  if (found == rings_.end()) return;
  removed = std::move(*found);
  rings_.erase(found);
  subscribers_.store(rings_.size(), std::memory_order_relaxed);
}

void FrameStreams::end(FrameStreamEnd why) {
  std::vector<std::shared_ptr<detail::FrameRing>> ended;  // let go outside the lock
  std::lock_guard lock(mutex_);
  if (end_ != FrameStreamEnd::Open || why == FrameStreamEnd::Open) return;
  end_ = why;
  for (const auto& ring : rings_) ring->finish(why);
  ended.swap(rings_);
  subscribers_.store(0, std::memory_order_relaxed);
}

}  // namespace sorvel
