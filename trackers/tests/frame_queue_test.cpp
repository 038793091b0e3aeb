#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "sorvel/trackers/frame_queue.hpp"

namespace sorvel {
namespace {

/// A frame whose every field comes from `n`, so a mixed-up or torn copy shows.
TrackerFrame numbered(std::uint32_t n) {
  TrackerFrame frame;
  const auto f = static_cast<float>(n);
  frame.orientation = {f, f + 1, f + 2, f + 3};
  frame.second_quaternion = {-f, -f - 1, -f - 2, -f - 3};
  frame.value_a = n;
  frame.value_b = ~static_cast<std::uint64_t>(n);
  frame.acceleration = {f / 2, f / 4, f / 8};
  frame.scalar = f * 3;
  frame.accuracy = static_cast<std::uint16_t>(n);
  frame.extra = static_cast<std::uint8_t>(n >> 8);
  frame.body_part = static_cast<BodyPart>(n % kBodyPartCount);
  frame.validity = 0;
  return frame;
}

std::vector<std::uint64_t> drain(FrameQueue& queue) {
  std::vector<std::uint64_t> out;
  while (auto frame = queue.pop()) out.push_back(frame->value_a);
  return out;
}

TEST(FrameQueue, ForcingPushKeepsTheNewestFourInArrivalOrder) {
  struct Case {
    std::uint32_t pushes;
    std::vector<std::uint64_t> popped;
  };
  const std::vector<Case> cases{
      {0, {}},           {1, {1}},          {3, {1, 2, 3}},    {4, {1, 2, 3, 4}},
      {5, {2, 3, 4, 5}}, {6, {3, 4, 5, 6}}, {9, {6, 7, 8, 9}},
  };
  for (const Case& c : cases) {
    FrameQueue queue;
    std::size_t dropped = 0;
    for (std::uint32_t n = 1; n <= c.pushes; ++n) {
      const std::size_t dropped_now = queue.push(numbered(n));
      EXPECT_EQ(dropped_now, n > FrameQueue::kCapacity ? 1u : 0u) << "push " << n;
      dropped += dropped_now;
    }
    EXPECT_EQ(drain(queue), c.popped) << c.pushes << " pushes";
    EXPECT_EQ(dropped + c.popped.size(), c.pushes);
    EXPECT_EQ(queue.pop(), std::nullopt) << "empty after draining";
  }
}

// Many laps around the ring with pushes and pops interleaved at random: the queue must behave
// like a deque that drops its front when a fifth frame arrives.
TEST(FrameQueue, BehavesLikeABoundedDequeOverManyLaps) {
  std::mt19937 rng(20240611);
  FrameQueue queue;
  std::deque<std::uint32_t> model;
  std::uint32_t next = 0;
  for (int step = 0; step < 20000; ++step) {
    if (rng() % 5 < 3) {
      const std::size_t expected_drop = model.size() == FrameQueue::kCapacity ? 1 : 0;
      if (expected_drop != 0) model.pop_front();
      model.push_back(next);
      ASSERT_EQ(queue.push(numbered(next)), expected_drop) << "step " << step;
      ++next;
    } else {
      const auto frame = queue.pop();
      if (model.empty()) {
        ASSERT_EQ(frame, std::nullopt) << "step " << step;
      } else {
        ASSERT_EQ(frame, numbered(model.front())) << "step " << step;
        model.pop_front();
      }
    }
  }
}

}  // namespace
}  // namespace sorvel
