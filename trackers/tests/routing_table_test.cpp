#include <gtest/gtest.h>

#include <memory>

#include "sorvel/trackers/routing_table.hpp"

namespace sorvel {
namespace {

TrackerFrame with_value(std::uint64_t value) {
  TrackerFrame frame;
  frame.value_a = value;
  frame.validity = 0;
  return frame;
}

TrackerEntry new_entry() {
  return {std::make_shared<FrameQueue>(), std::make_shared<LatestFrame>()};
}

TEST(RoutingTable, FramesReachOnlyTheTrackerInTheirBodyPartsSlot) {
  RoutingTable table;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    EXPECT_FALSE(table.route(static_cast<BodyPart>(i), with_value(i))) << "empty slot " << i;
  }
  const TrackerEntry head = new_entry();
  table.replace(BodyPart::Head, head);

  EXPECT_FALSE(table.route(BodyPart::Hips, with_value(1))) << "unpaired body part";
  EXPECT_EQ(head.queue->pop(), std::nullopt) << "a Hips frame reached the Head tracker";
  EXPECT_EQ(head.latest->load(), kDefaultFrame);

  EXPECT_TRUE(table.route(BodyPart::Head, with_value(2)));
  EXPECT_TRUE(table.route(BodyPart::Head, with_value(3)));
  EXPECT_EQ(head.latest->load(), with_value(3)) << "the latest cell holds the newest frame";
  EXPECT_EQ(head.queue->pop(), with_value(2)) << "the queue keeps every frame";
  EXPECT_EQ(head.queue->pop(), with_value(3));
}

TEST(RoutingTable, ReplaceSwapsTheSlotAndReleasesTheOldHandles) {
  RoutingTable table;
  std::weak_ptr<FrameQueue> old_queue;
  std::weak_ptr<LatestFrame> old_latest;
  {
    const TrackerEntry old_entry = new_entry();
    old_queue = old_entry.queue;
    old_latest = old_entry.latest;
    table.replace(BodyPart::Chest, old_entry);
  }
  EXPECT_FALSE(old_queue.expired()) << "the table holds its own handles";

  const TrackerEntry next = new_entry();
  table.replace(BodyPart::Chest, next);
  EXPECT_TRUE(old_queue.expired());
  EXPECT_TRUE(old_latest.expired());
  ASSERT_TRUE(table.slot(BodyPart::Chest).has_value());
  EXPECT_EQ(table.slot(BodyPart::Chest)->queue, next.queue);
  EXPECT_EQ(table.slot(BodyPart::Chest)->latest, next.latest);
}

}  // namespace
}  // namespace sorvel
