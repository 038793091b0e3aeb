#pragma once
// The rule both calibration steps share: a hold counts only if every tracker in it sent frames
// and held still.

#include <optional>

#include <fmt/format.h>

#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/result.hpp"

namespace sorvel::pose {

/// The first reason `part`'s share of the hold does not count, if any.
inline std::optional<Error> hold_refusal(const HoldSummary& hold, BodyPart part) {
  const HeldPart& held = hold.at(part);
  switch (held.state) {
    case HoldState::NotPaired:
    case HoldState::SentNothing:
      return Error{fmt::format("{} sent nothing during the hold", part)};
    case HoldState::Moved:
      return Error{fmt::format("{} moved during the hold ({:.1f} degrees)", part,
                               held.largest_deviation * 180.0 / std::numbers::pi)};
    case HoldState::Still:
      break;
  }
  return std::nullopt;
}

/// The reference trackers in order of preference: the trunk's and the head's stay nearest the
/// body's own heading.
inline constexpr BodyPart kReferences[] = {BodyPart::Chest, BodyPart::Hips, BodyPart::Head};

inline constexpr Vec3 kBodyUp{0.0, 1.0, 0.0};

}  // namespace sorvel::pose
