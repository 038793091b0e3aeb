// Producers and consumers hammering one queue and one routing slot. Run under the thread
// sanitizer as well: the checks below catch lost, duplicated, reordered and torn frames, the
// sanitizer catches unordered copies.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "sorvel/trackers/frame_queue.hpp"
#include "sorvel/trackers/routing_table.hpp"

namespace sorvel {
namespace {

/// Producer `producer`'s frame number `seq`, with every field derived from both.
TrackerFrame stamped(std::uint32_t producer, std::uint32_t seq) {
  TrackerFrame frame;
  const auto s = static_cast<float>(seq);
  const auto p = static_cast<float>(producer);
  frame.orientation = {s, p, s + p, s * 2};
  frame.second_quaternion = {p, s, -s, -p};
  frame.value_a = producer;
  frame.value_b = seq;
  frame.acceleration = {s + 1, p + 1, s + 2};
  frame.scalar = -s;
  frame.accuracy = static_cast<std::uint16_t>(seq);
  frame.extra = static_cast<std::uint8_t>(producer);
  frame.body_part = static_cast<BodyPart>(seq % kBodyPartCount);
  frame.validity = 0;
  return frame;
}

struct Popped {
  std::uint32_t producer;
  std::uint32_t seq;
};

/// Checks one consumer's frames: each is intact and came from a producer, and per producer the
/// numbers strictly increase (a consumer always takes the oldest).
void check_consumer(const std::vector<Popped>& popped, std::uint32_t producers,
                    std::uint32_t per_producer, const char* who) {
  std::vector<std::int64_t> last(producers, -1);
  for (const Popped& p : popped) {
    ASSERT_LT(p.producer, producers) << who;
    ASSERT_LT(p.seq, per_producer) << who;
    ASSERT_GT(static_cast<std::int64_t>(p.seq), last[p.producer])
        << who << ": producer " << p.producer << " out of order";
    last[p.producer] = p.seq;
  }
}

TEST(FrameQueueStress, ProducersAndConsumersLoseDuplicateAndReorderNothing) {
  constexpr std::uint32_t kProducers = 3;
  constexpr std::uint32_t kConsumers = 2;
  constexpr std::uint32_t kPerProducer = 20000;
  FrameQueue queue;
  std::atomic<std::size_t> dropped{0};
  std::atomic<bool> start{false};
  // Phase 1: producers push the first half of their frames while consumers pop. Phase 2: once
  // the consumers have emptied the queue and stopped, the producers push the rest alone, so the
  // queue must end up holding exactly the newest kCapacity frames.
  std::atomic<std::uint32_t> producers_in_phase_2{0};
  std::atomic<std::uint32_t> consumers_stopped{0};

  std::vector<std::vector<Popped>> consumed(kConsumers);
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (std::uint32_t c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      while (!start.load()) std::this_thread::yield();
      for (;;) {
        // Read before popping: an empty pop after every producer finished phase 1 means empty.
        const bool phase_1_over = producers_in_phase_2.load() == kProducers;
        if (auto frame = queue.pop()) {
          const auto producer = static_cast<std::uint32_t>(frame->value_a);
          const auto seq = static_cast<std::uint32_t>(frame->value_b);
          if (!(*frame == stamped(producer, seq))) torn = true;
          consumed[c].push_back({producer, seq});
        } else if (phase_1_over) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
      consumers_stopped.fetch_add(1);
    });
  }
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      while (!start.load()) std::this_thread::yield();
      std::size_t my_dropped = 0;
      for (std::uint32_t seq = 0; seq < kPerProducer; ++seq) {
        if (seq == kPerProducer / 2) {
          producers_in_phase_2.fetch_add(1);
          while (consumers_stopped.load() < kConsumers) std::this_thread::yield();
        }
        my_dropped += queue.push(stamped(p, seq));
      }
      dropped.fetch_add(my_dropped);
    });
  }
  start = true;
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(torn.load()) << "a popped frame did not match the frame its producer pushed";

  std::vector<Popped> rest;
  while (auto frame = queue.pop()) {
    rest.push_back(
        {static_cast<std::uint32_t>(frame->value_a), static_cast<std::uint32_t>(frame->value_b)});
  }
  for (std::uint32_t c = 0; c < kConsumers; ++c) {
    check_consumer(consumed[c], kProducers, kPerProducer, "consumer");
  }
  check_consumer(rest, kProducers, kPerProducer, "final drain");

  // What is left is the newest kCapacity arrivals, so per producer the last numbers it pushed.
  ASSERT_EQ(rest.size(), FrameQueue::kCapacity);
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    std::vector<std::uint32_t> mine;
    for (const Popped& r : rest) {
      if (r.producer == p) mine.push_back(r.seq);
    }
    for (std::size_t i = 0; i < mine.size(); ++i) {
      EXPECT_EQ(mine[i], kPerProducer - mine.size() + i) << "producer " << p << " left a gap";
    }
  }

  // Every frame is accounted for exactly once: popped, dropped by a push, or left over.
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  std::size_t total_popped = rest.size();
  for (const auto* list : {&consumed[0], &consumed[1], &rest}) {
    for (const Popped& p : *list) {
      EXPECT_TRUE(seen.insert({p.producer, p.seq}).second)
          << "frame " << p.producer << "/" << p.seq << " popped twice";
    }
  }
  for (const auto& list : consumed) total_popped += list.size();
  EXPECT_EQ(total_popped + dropped.load(), kProducers * kPerProducer);
  EXPECT_GE(total_popped - rest.size(), FrameQueue::kCapacity) << "the consumers took nothing";
}

// The report reader routes while a pairing replaces the slot. Every frame goes to exactly the
// entry that held the slot at that moment: an entry only ever sees frames routed before the next
// replacement, and its latest frame is the newest it was given.
TEST(FrameQueueStress, RoutingWhileTheSlotIsReplaced) {
  constexpr std::uint32_t kFrames = 20000;
  constexpr std::uint32_t kReplacements = 50;
  RoutingTable table;
  std::vector<TrackerEntry> entries;
  entries.push_back({std::make_shared<FrameQueue>(), std::make_shared<LatestFrame>()});
  table.replace(BodyPart::Head, entries.back());
  std::atomic<std::uint32_t> routed{0};
  std::atomic<bool> done{false};

  std::thread reader([&] {
    for (std::uint32_t seq = 1; seq <= kFrames; ++seq) {
      table.route(BodyPart::Head, stamped(0, seq));
      routed.store(seq);
    }
    done = true;
  });
  std::thread poller([&] {
    // Concurrent reads of whatever holds the slot now, as a poll does.
    while (!done.load()) {
      if (auto slot = table.slot(BodyPart::Head)) {
        const TrackerFrame latest = slot->latest->load();
        if (latest.validity == 0 &&
            !(latest == stamped(0, static_cast<std::uint32_t>(latest.value_b)))) {
          ADD_FAILURE() << "torn latest frame";
          return;
        }
      }
      std::this_thread::yield();
    }
  });
  // Spread the replacements over the reader's run instead of racing ahead of it.
  for (std::uint32_t i = 1; i <= kReplacements && !done.load(); ++i) {
    while (routed.load() < i * (kFrames / (kReplacements + 1)) && !done.load()) {
      std::this_thread::yield();
    }
    TrackerEntry entry{std::make_shared<FrameQueue>(), std::make_shared<LatestFrame>()};
    entries.push_back(entry);
    table.replace(BodyPart::Head, std::move(entry));
  }
  reader.join();
  poller.join();

  std::uint64_t previous_max = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::vector<std::uint64_t> queued;
    while (auto frame = entries[i].queue->pop()) queued.push_back(frame->value_b);
    const TrackerFrame latest = entries[i].latest->load();
    if (queued.empty()) {
      EXPECT_EQ(latest, kDefaultFrame) << "entry " << i << " has a latest frame but no queue";
      continue;
    }
    EXPECT_TRUE(std::is_sorted(queued.begin(), queued.end())) << "entry " << i;
    EXPECT_EQ(latest.value_b, queued.back()) << "entry " << i << ": latest is not the newest";
    EXPECT_GT(queued.front(), previous_max) << "entry " << i << " got a frame of an earlier one";
    previous_max = queued.back();
  }
  EXPECT_EQ(previous_max, kFrames) << "the last frame went missing";
}

}  // namespace
}  // namespace sorvel
