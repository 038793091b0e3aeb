#include <gtest/gtest.h>

#include "sorvel/driver/lost_trackers.hpp"

namespace sorvel {
namespace {

using enum BodyPart;

TEST(LostTrackers, APairingKeepsOnlyWhatWasReportedLostWhileItPaired) {
  LostTrackers lost;
  for (BodyPart part : {RightFoot, Head, Chest}) lost.on_event(event::TrackerLost{part});
  lost.on_event(event::TrackerRestored{Chest});
  lost.on_event(event::TrackerDuplicated{Hips});
  EXPECT_EQ(lost.body_parts(), (std::vector{Head, RightFoot}));

  lost.begin_pairing();
  for (BodyPart part : {LeftHand, Hips}) lost.on_event(event::TrackerLost{part});
  lost.on_event(event::TrackerRestored{Hips});
  EXPECT_EQ(lost.body_parts(), (std::vector{Head, LeftHand, RightFoot})) << "until it succeeds";
  lost.pairing_succeeded();
  EXPECT_EQ(lost.body_parts(), std::vector{LeftHand});
  lost.on_event(event::TrackerLost{Hips});
  EXPECT_EQ(lost.body_parts(), (std::vector{Hips, LeftHand}));
}

}  // namespace
}  // namespace sorvel
