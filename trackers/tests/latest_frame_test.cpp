// The latest-frame cell: exact copies, versions that tell an unchanged cell, and no torn or
// backward frame while stores race loads. Run under the thread sanitizer as well.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "sorvel/trackers/latest_frame.hpp"

namespace sorvel {
namespace {

/// Writer `writer`'s frame number `seq`, every field derived from both, so that a frame mixed
/// from two stores is told apart.
TrackerFrame stamped(std::uint32_t writer, std::uint32_t seq) {
  TrackerFrame frame;
  const auto s = static_cast<float>(seq);
  frame.orientation = {s, -s, s * 2, s + 0.5f};
  frame.second_quaternion = {s * 3, s + 1, -s, static_cast<float>(writer)};
  frame.value_a = writer;
  frame.value_b = seq;
  frame.acceleration = {s + 2, s - 2, -s};
  frame.scalar = s / 2;
  frame.accuracy = static_cast<std::uint16_t>(seq);
  frame.extra = static_cast<std::uint8_t>(seq);
  frame.body_part = static_cast<BodyPart>(seq % kBodyPartCount);
  frame.validity = 0;
  return frame;
}

bool intact(const TrackerFrame& frame) {
  return frame == kDefaultFrame || frame == stamped(static_cast<std::uint32_t>(frame.value_a),
                                                    static_cast<std::uint32_t>(frame.value_b));
}

TEST(LatestFrame, StoresComeBackExactlyWithANewVersionEachTime) {
  TrackerFrame extreme = stamped(1, 2);
  extreme.orientation = {-0.0f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::denorm_min(), -1.0f};
  extreme.value_a = std::numeric_limits<std::uint64_t>::max();
  extreme.accuracy = 0xFFFF;
  extreme.body_part = BodyPart::RightFoot;
  LatestFrame cell;
  EXPECT_EQ(cell.load(), kDefaultFrame);

  TrackerFrame out;
  std::uint64_t version = cell.load_unless(LatestFrame::kNoVersion, out);
  EXPECT_EQ(out, kDefaultFrame);
  for (const TrackerFrame& frame : {stamped(0, 1), extreme, stamped(0, 1)}) {
    cell.store(frame);
    TrackerFrame copied;
    const std::uint64_t next = cell.load_unless(version, copied);
    EXPECT_NE(next, version) << "a store, even of an equal frame, is a new version";
    EXPECT_EQ(next % 2, 0u);
    EXPECT_EQ(copied, frame);
    EXPECT_EQ(cell.load(), frame);
    version = next;
  }
  cell.store(extreme);
  EXPECT_TRUE(std::signbit(cell.load().orientation[0])) << "-0.0 is kept bit for bit";
}

TEST(LatestFrame, AnUnchangedCellIsNotCopiedAgain) {
  LatestFrame cell;
  cell.store(stamped(0, 7));
  TrackerFrame out;
  const std::uint64_t version = cell.load_unless(LatestFrame::kNoVersion, out);
  TrackerFrame untouched = stamped(9, 9);
  EXPECT_EQ(cell.load_unless(version, untouched), version);
  EXPECT_EQ(untouched, stamped(9, 9)) << "nothing copied for the known version";
}

// Stores racing loads: every frame read is one that was stored whole, and a reader never sees a
// writer's frames go backwards, whether it copies each time or only when the version moves.
TEST(LatestFrame, LoadsRacingStoresSeeWholeFramesInOrder) {
  constexpr std::uint32_t kWriters = 2;
  constexpr std::uint32_t kReaders = 3;
  constexpr std::uint32_t kPerWriter = 200000;
  LatestFrame cell;
  std::atomic<bool> start{false};
  std::atomic<std::uint32_t> writers_done{0};
  std::atomic<int> torn{0};
  std::atomic<int> backwards{0};
  std::vector<std::thread> threads;
  for (std::uint32_t r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      while (!start.load()) std::this_thread::yield();
      std::vector<std::int64_t> last(kWriters, -1);
      std::uint64_t version = LatestFrame::kNoVersion;
      TrackerFrame frame = kDefaultFrame;
      while (writers_done.load() < kWriters) {
        if (r == 0) {
          frame = cell.load();
        } else {
          // Reader 2 knows nothing each time, so it must always be handed a whole frame.
          const std::uint64_t known = r == 1 ? version : LatestFrame::kNoVersion;
          version = cell.load_unless(known, frame);  // `frame` stays the known one's copy
          if (version % 2 != 0) ++torn;              // a store halfway through
        }
        if (!intact(frame)) {
          ++torn;
          continue;
        }
        if (frame == kDefaultFrame) continue;
        const auto writer = static_cast<std::uint32_t>(frame.value_a);
        const auto seq = static_cast<std::int64_t>(frame.value_b);
        if (seq < last[writer]) ++backwards;
        last[writer] = seq;
      }
    });
  }
  for (std::uint32_t w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      while (!start.load()) std::this_thread::yield();
      for (std::uint32_t seq = 0; seq < kPerWriter; ++seq) cell.store(stamped(w, seq));
      writers_done.fetch_add(1);
    });
  }
  start = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  const TrackerFrame last = cell.load();
  EXPECT_EQ(last.value_b, kPerWriter - 1) << "the cell ends with a writer's last frame";
}

}  // namespace
}  // namespace sorvel
