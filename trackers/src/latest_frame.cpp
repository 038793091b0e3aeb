#include "sorvel/trackers/latest_frame.hpp"

#include <cstring>

#include "backoff.hpp"

namespace sorvel {

LatestFrame::LatestFrame() {
  std::array<std::uint64_t, kWords> words{};
  std::memcpy(words.data(), &kDefaultFrame, sizeof(TrackerFrame));
  for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
}

void LatestFrame::store(const TrackerFrame& frame) {
  std::array<std::uint64_t, kWords> words{};
  std::memcpy(words.data(), &frame, sizeof(TrackerFrame));
  // Take the cell: even to odd. Acquire: this store's words come after the previous store's.
  detail::Backoff backoff;
  std::uint64_t version = version_.load(std::memory_order_relaxed);
  while (version % 2 != 0 ||
         !version_.compare_exchange_weak(version, version + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    if (version % 2 != 0) {
      backoff.pause();  // another store is under way
      version = version_.load(std::memory_order_relaxed);
    }
  }
  for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
  version_.store(version + 2, std::memory_order_release);
}

std::uint64_t LatestFrame::load_into(TrackerFrame& frame) const {
  // Words go straight into the frame: a copy through a word array costs a stalled reload here.
  auto* bytes = reinterpret_cast<unsigned char*>(&frame);
  detail::Backoff backoff;
  for (;;) {
    const std::uint64_t before = version_.load(std::memory_order_acquire);
    if (before % 2 == 0) {
      for (std::size_t i = 0; i < kWords; ++i) {
        const std::uint64_t word = words_[i].load(std::memory_order_acquire);
        std::memcpy(bytes + i * sizeof word, &word, sizeof word);
      }
      // The acquire loads above keep this one after them: a word of a store that began since
      // `before` makes the version differ.
      if (version_.load(std::memory_order_relaxed) == before) return before;
    }
    backoff.pause();
  }
}

}  // namespace sorvel
