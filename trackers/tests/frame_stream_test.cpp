// Frame streams: every frame in order for a consumer that keeps up, exact drop counts for one
// that does not, consumers independent of each other, the end after the buffered frames,
// wake-ups, and subscribing and leaving while a producer runs (also under the thread sanitizer).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sorvel/trackers/frame_stream.hpp"

namespace sorvel {
namespace {

/// Frame number `seq`, every field derived from it, so that a torn or misplaced frame shows.
TrackerFrame numbered(std::uint64_t seq) {
  TrackerFrame frame;
  const auto s = static_cast<float>(seq);
  frame.orientation = {s, -s, s * 2, s + 0.5f};
  frame.second_quaternion = {s * 3, s + 1, -s, 0.25f};
  frame.value_a = seq;
  frame.value_b = ~seq;
  frame.acceleration = {s + 2, s - 2, -s};
  frame.scalar = s / 2;
  frame.accuracy = static_cast<std::uint16_t>(seq);
  frame.extra = static_cast<std::uint8_t>(seq);
  frame.body_part = static_cast<BodyPart>(seq % kBodyPartCount);
  frame.validity = 0;
  return frame;
}

std::int64_t time_of(std::uint64_t seq) {
  return 1'000'000 + static_cast<std::int64_t>(seq) * 10;
}

/// Whole, with the time of its batch, when batches of `per_batch` were published from frame 0.
bool intact(const StampedFrame& stamped, std::uint64_t per_batch) {
  const std::uint64_t seq = stamped.frame.value_a;
  return stamped.frame == numbered(seq) && stamped.time_ns == time_of(seq - seq % per_batch);
}

/// Publishes frames numbered on from `next`, `per_batch` to a batch (each batch one time: the
/// time of its first frame).
struct Producer {
  std::shared_ptr<FrameStreams> streams = std::make_shared<FrameStreams>();
  std::uint64_t next = 0;

  void publish(std::uint64_t count, std::uint64_t per_batch = 1) {
    while (count > 0) {
      const std::uint64_t n = std::min(count, per_batch);
      FrameStreams::Batch batch(*streams, time_of(next));
      for (std::uint64_t i = 0; i < n; ++i) {
        TrackerFrame frame = numbered(next++);
        batch.add(frame);
      }
      count -= n;
    }
  }
};

/// The frame numbers `take` hands over, up to `max`; every frame is checked whole.
std::vector<std::uint64_t> take(FrameSubscription& consumer, std::size_t max = SIZE_MAX) {
  std::vector<std::uint64_t> seqs;
  consumer.take(max, [&](const StampedFrame& stamped) {
    EXPECT_EQ(stamped.frame, numbered(stamped.frame.value_a));
    seqs.push_back(stamped.frame.value_a);
    return true;
  });
  return seqs;
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t end) {
  std::vector<std::uint64_t> seqs;
  for (std::uint64_t s = first; s < end; ++s) seqs.push_back(s);
  return seqs;
}

/// Counts wake-ups.
struct CountingWaker final : StreamWaker {
  std::atomic<int> wakes{0};
  void wake() noexcept override { ++wakes; }
};

TEST(FrameStream, AConsumerThatKeepsUpGetsEveryFrameWholeWithItsBatchTime) {
  Producer producer;
  auto consumer = producer.streams->subscribe(4, nullptr);
  std::vector<StampedFrame> got;
  for (std::uint64_t per_batch : {1u, 3u, 4u, 2u}) {
    producer.publish(per_batch, per_batch);
    consumer->take(SIZE_MAX, [&](const StampedFrame& f) {
      got.push_back(f);
      return true;
    });
  }
  ASSERT_EQ(got.size(), 10u);
  const std::vector<std::int64_t> batch_times{time_of(0), time_of(1), time_of(1), time_of(1),
                                              time_of(4), time_of(4), time_of(4), time_of(4),
                                              time_of(8), time_of(8)};
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].frame, numbered(i));
    EXPECT_EQ(got[i].time_ns, batch_times[i]) << "frame " << i;
  }
  EXPECT_EQ(consumer->dropped(), 0u);
}

struct DropCase {
  std::size_t capacity;
  std::uint64_t published;
  std::uint64_t per_batch;
};

class FrameStreamDrops : public ::testing::TestWithParam<DropCase> {};

TEST_P(FrameStreamDrops, ABehindConsumerKeepsTheNewestAndCountsEveryOverwrittenFrame) {
  const DropCase c = GetParam();
  Producer producer;
  auto consumer = producer.streams->subscribe(c.capacity, nullptr);
  auto closed_unread = producer.streams->subscribe(c.capacity, nullptr);
  producer.publish(c.published, c.per_batch);
  const std::uint64_t lost = c.published > c.capacity ? c.published - c.capacity : 0;
  EXPECT_EQ(consumer->dropped(), lost) << "overwritten frames count before they are skipped";
  closed_unread->close();
  EXPECT_EQ(take(*consumer), range(lost, c.published));
  EXPECT_EQ(consumer->dropped(), lost);
  // Caught up: the next frames come whole, and nothing more is counted.
  producer.publish(1);
  EXPECT_EQ(take(*consumer), range(c.published, c.published + 1));
  EXPECT_EQ(consumer->dropped(), lost);
  EXPECT_EQ(closed_unread->dropped(), lost) << "closing forgets no frame it had lost";
}

INSTANTIATE_TEST_SUITE_P(CapacityAndGap, FrameStreamDrops,
                         ::testing::Values(DropCase{1, 1, 1}, DropCase{1, 2, 1}, DropCase{1, 9, 4},
                                           DropCase{4, 4, 4}, DropCase{4, 5, 1}, DropCase{4, 5, 5},
                                           DropCase{4, 12, 4}, DropCase{4, 13, 3},
                                           DropCase{7, 100, 1}, DropCase{64, 64, 8},
                                           DropCase{64, 1000, 8}),
                         [](const auto& info) {
                           const DropCase& c = info.param;
                           return "Capacity" + std::to_string(c.capacity) + "Published" +
                                  std::to_string(c.published) + "PerBatch" +
                                  std::to_string(c.per_batch);
                         });

/// Interleaved publishing and taking against a model that keeps the newest `capacity` frames.
TEST(FrameStream, InterleavedPublishingAndTakingMatchesABoundedQueue) {
  struct Step {
    std::uint64_t publish;
    std::size_t take;
  };
  const std::vector<Step> steps{{3, 1}, {3, 2}, {6, 10}, {2, 1}, {0, 1}, {9, 3}, {1, 100}};
  for (std::size_t capacity : {1u, 3u, 5u}) {
    Producer producer;
    auto consumer = producer.streams->subscribe(capacity, nullptr);
    std::deque<std::uint64_t> model;
    std::uint64_t model_dropped = 0;
    for (const Step& step : steps) {
      for (std::uint64_t i = 0; i < step.publish; ++i) {
        model.push_back(producer.next + i);
        if (model.size() > capacity) {
          model.pop_front();
          ++model_dropped;
        }
      }
      producer.publish(step.publish, 2);
      std::vector<std::uint64_t> expected;
      while (expected.size() < step.take && !model.empty()) {
        expected.push_back(model.front());
        model.pop_front();
      }
      EXPECT_EQ(take(*consumer, step.take), expected) << "capacity " << capacity;
      EXPECT_EQ(consumer->dropped(), model_dropped) << "capacity " << capacity;
    }
  }
}

TEST(FrameStream, ConsumersAreIndependentAndSeeOnlyFramesAfterTheySubscribed) {
  Producer producer;
  producer.publish(3);  // before anyone listens: nobody gets these
  auto fast = producer.streams->subscribe(2, nullptr);
  auto slow = producer.streams->subscribe(5, nullptr);
  std::vector<std::uint64_t> fast_got;
  for (int round = 0; round < 6; ++round) {
    producer.publish(2, 2);
    const auto got = take(*fast);
    fast_got.insert(fast_got.end(), got.begin(), got.end());
  }
  auto late = producer.streams->subscribe(3, nullptr);
  producer.publish(1);
  const auto got = take(*fast);
  fast_got.insert(fast_got.end(), got.begin(), got.end());

  EXPECT_EQ(fast_got, range(3, 16));
  EXPECT_EQ(fast->dropped(), 0u);
  EXPECT_EQ(take(*slow), range(11, 16));
  EXPECT_EQ(slow->dropped(), 8u);
  EXPECT_EQ(take(*late), range(15, 16));

  slow->close();
  producer.publish(1);
  EXPECT_EQ(take(*fast), range(16, 17));
  EXPECT_TRUE(take(*slow).empty()) << "a closed consumer gets nothing more";
  EXPECT_EQ(slow->end(), FrameStreamEnd::Closed);
  EXPECT_EQ(take(*late), range(16, 17));
}

TEST(FrameStream, TheEndComesAfterTheBufferedFramesAndTheFirstReasonHolds) {
  for (FrameStreamEnd why : {FrameStreamEnd::Closed, FrameStreamEnd::ReceiverLost}) {
    Producer producer;
    auto consumer = producer.streams->subscribe(4, nullptr);
    producer.publish(6, 3);
    producer.streams->end(why);
    producer.streams->end(why == FrameStreamEnd::Closed ? FrameStreamEnd::ReceiverLost
                                                        : FrameStreamEnd::Closed);
    producer.publish(2);  // after the end: goes nowhere
    EXPECT_TRUE(consumer->ready());
    EXPECT_EQ(consumer->end(), FrameStreamEnd::Open) << "frames are still buffered";
    EXPECT_EQ(take(*consumer, 3), range(2, 5));
    EXPECT_EQ(consumer->end(), FrameStreamEnd::Open);
    EXPECT_EQ(take(*consumer), range(5, 6));
    EXPECT_EQ(consumer->end(), why);
    EXPECT_EQ(consumer->dropped(), 2u);

    auto late = producer.streams->subscribe(4, nullptr);
    EXPECT_EQ(late->end(), why) << "a consumer that comes after the end is born ended";
    EXPECT_TRUE(take(*late).empty());
  }
}

TEST(FrameStream, AnArmedConsumerIsWokenOnceByFramesOrTheEndAndOnlyThen) {
  Producer producer;
  auto waker = std::make_shared<CountingWaker>();
  auto consumer = producer.streams->subscribe(4, waker);

  producer.publish(1);
  EXPECT_EQ(waker->wakes, 0) << "not armed: no wake-up";
  EXPECT_FALSE(consumer->arm()) << "a frame is there: nothing to wait for";
  take(*consumer);
  ASSERT_TRUE(consumer->arm());
  producer.publish(2, 1);
  EXPECT_EQ(waker->wakes, 1) << "one wake-up per arm, however many batches follow";
  take(*consumer);

  ASSERT_TRUE(consumer->arm());
  { FrameStreams::Batch empty(*producer.streams, 0); }
  EXPECT_EQ(waker->wakes, 1) << "a transfer without a routed frame wakes nobody";
  producer.streams->end(FrameStreamEnd::ReceiverLost);
  EXPECT_EQ(waker->wakes, 2);
  EXPECT_FALSE(consumer->arm());
  EXPECT_EQ(consumer->end(), FrameStreamEnd::ReceiverLost);
}

/// Wakes a parked consumer thread.
struct ThreadWaker final : StreamWaker {
  std::mutex mutex;
  std::condition_variable woken;
  bool signalled = false;
  void wake() noexcept override {
    {
      std::lock_guard lock(mutex);
      signalled = true;
    }
    woken.notify_one();
  }
  /// False if no wake-up came within a generous bound (a lost wake-up).
  bool wait() {
    std::unique_lock lock(mutex);
    const bool came = woken.wait_for(lock, std::chrono::seconds(30), [&] { return signalled; });
    signalled = false;
    return came;
  }
};

TEST(FrameStream, ConsumersComeAndGoWhileAProducerRuns) {
  constexpr std::uint64_t kFrames = 60'000;
  constexpr std::uint64_t kPerBatch = 3;
  Producer producer;
  // Subscribed before the first frame and parked between takes: it must see every frame
  // either taken or counted as dropped, and be woken for the end.
  auto waker = std::make_shared<ThreadWaker>();
  auto steady = producer.streams->subscribe(16, waker);
  std::atomic<bool> done{false};

  std::thread writer([&] {
    producer.publish(kFrames, kPerBatch);
    producer.streams->end(FrameStreamEnd::ReceiverLost);
    done = true;
  });

  std::vector<std::thread> visitors;
  std::atomic<int> bad{0};
  for (int v = 0; v < 3; ++v) {
    visitors.emplace_back([&, v] {
      while (!done) {
        auto consumer = producer.streams->subscribe(static_cast<std::size_t>(1 + v * 5), nullptr);
        std::uint64_t last = 0;
        bool first = true;
        for (int i = 0; i < 50; ++i) {
          consumer->take(SIZE_MAX, [&](const StampedFrame& f) {
            if (!intact(f, kPerBatch) || (!first && f.frame.value_a <= last)) ++bad;
            last = f.frame.value_a;
            first = false;
            return true;
          });
        }
        if (v == 0) consumer->close();  // the others leave by being dropped
      }
    });
  }

  std::uint64_t taken = 0;
  std::uint64_t expected_next = 0;
  bool in_order = true;
  bool woken = true;
  while (steady->end() == FrameStreamEnd::Open) {
    taken += steady->take(SIZE_MAX, [&](const StampedFrame& f) {
      in_order = in_order && intact(f, kPerBatch) && f.frame.value_a >= expected_next;
      expected_next = f.frame.value_a + 1;
      return true;
    });
    if (steady->arm() && !waker->wait()) {
      woken = false;
      break;
    }
  }
  writer.join();
  for (auto& t : visitors) t.join();

  EXPECT_TRUE(woken) << "the consumer was not woken for frames or the end";
  EXPECT_TRUE(in_order);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(steady->end(), FrameStreamEnd::ReceiverLost);
  EXPECT_EQ(taken + steady->dropped(), kFrames);
  EXPECT_GT(taken, 0u);
}

}  // namespace
}  // namespace sorvel
