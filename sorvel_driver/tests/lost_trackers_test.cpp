#include <gtest/gtest.h>

#include <variant>

#include "sorvel/driver/lost_trackers.hpp"

namespace sorvel {
namespace {

using enum BodyPart;

/// One step of a receiver's story: an event, a pairing that begins, or one that succeeds with
/// these body parts; then what the list shows.
struct Begin {};
struct Paired {
  std::vector<BodyPart> parts;
};
using Step = std::variant<HostEvent, Begin, Paired>;

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<BodyPart> listed;
};

void apply(LostTrackers& lost, const Step& step) {
  if (const auto* event = std::get_if<HostEvent>(&step)) {
    lost.on_event(*event);
  } else if (std::holds_alternative<Begin>(step)) {
    lost.begin_pairing();
  } else {
    lost.pairing_succeeded(std::get<Paired>(step).parts);
  }
}

TEST(LostTrackers, ListsThePairedTrackersReportedLostAndNotBackSince) {
  const Case cases[] = {
      {"nothing is paired before the first pairing", {event::TrackerLost{Head}}, {}},
      {"lost and restored",
       {Paired{{Head, Chest}}, event::TrackerLost{Chest}, event::TrackerLost{Head},
        event::TrackerRestored{Chest}, event::TrackerDuplicated{Head}},
       {Head}},
      {"unpaired body parts are never listed",
       {Paired{{Head, Hips}}, event::TrackerLost{RightFoot}, event::TrackerLost{LeftHand}},
       {}},
      {"in body-part order, whatever the order of the losses",
       {Paired{{Head, LeftHand, RightFoot}}, event::TrackerLost{RightFoot},
        event::TrackerLost{LeftHand}, event::TrackerLost{Head}},
       {Head, LeftHand, RightFoot}},
      {"a pairing under way changes nothing until it succeeds",
       {Paired{{Head, Hips}}, event::TrackerLost{Head}, Begin{}, event::TrackerLost{Hips}},
       {Head, Hips}},
      {"a successful pairing keeps what was lost while it paired",
       {Paired{{Head, Hips}}, event::TrackerLost{Head}, Begin{}, event::TrackerLost{Hips},
        Paired{{Head, Hips}}},
       {Hips}},
      {"re-pairing to a smaller group drops the body parts left out",
       {Paired{{Head, Hips}}, Begin{}, event::TrackerLost{Head}, event::TrackerLost{Hips},
        Paired{{Hips}}},
       {Hips}},
      {"a body part lost while unpaired is not listed once it is paired",
       {Paired{{Hips}}, event::TrackerLost{Head}, Begin{}, Paired{{Head, Hips}}},
       {}},
      {"lost after a pairing that added it",
       {Paired{{Hips}}, Begin{}, Paired{{Head, Hips}}, event::TrackerLost{Head}},
       {Head}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LostTrackers lost;
    for (const Step& step : c.steps) apply(lost, step);
    EXPECT_EQ(lost.body_parts(), c.listed);
  }
}

}  // namespace
}  // namespace sorvel
