#pragma once
// Calibration: what turns a tracker's reported orientation into its segment's in the body frame.
// A tracker reports q = A * S * M, where S is the segment in the body frame, A takes the body
// frame into the tracker's own world (its heading, and which way is up there) and M takes the
// tracker's coordinates into the segment's (how it is strapped on). Calibration finds A and M for
// every tracker from still holds in known poses; the solver then takes S = A^-1 * q * M^-1.

#include <array>

#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/known_poses.hpp"
#include "sorvel/pose/orientations.hpp"
#include "sorvel/pose/quaternion.hpp"
#include "sorvel/pose/result.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::pose {

/// A segment that turns less than this between the first pose and the ski pose (a foot flat on
/// the floor) tells nothing about its tracker's heading.
inline constexpr double kLeastSkiTurn = 10.0 * std::numbers::pi / 180.0;

struct TrackerCalibration {
  bool calibrated = false;
  Quaternion correction;  ///< A: tracker world <- body frame
  Quaternion mounting;    ///< M: segment <- tracker
  Quaternion first_hold;  ///< the mean reported in the first pose, which the second step reuses
  bool operator==(const TrackerCalibration&) const = default;
};

struct Calibration {
  StandingPose pose = StandingPose::I;  ///< the first step's pose
  WorldUp up = WorldUp::Z;
  bool mounting_refined = false;  ///< the second step (the ski pose) ran
  std::array<TrackerCalibration, kBodyPartCount> trackers{};

  const TrackerCalibration& at(BodyPart part) const { return trackers[index_of(part)]; }
  TrackerCalibration& at(BodyPart part) { return trackers[index_of(part)]; }
  bool calibrated(BodyPart part) const { return at(part).calibrated; }
  bool operator==(const Calibration&) const = default;
};

/// The first step, standing in `pose`. Every tracker's heading is taken from one reference, the
/// chest's, else the hips', else the head's, whose tracker is taken to be strapped on square (no
/// turn about the vertical): it sets the way the body faces. Refuses unless every paired tracker
/// sent frames and held still, and a reference is among them.
Result<Calibration> calibrate(const HoldSummary& hold, StandingPose pose, WorldUp up = WorldUp::Z);

/// The optional second step, holding the ski pose after `first`. Each tracker's segment turns
/// about the body's X axis, a horizontal axis in the tracker's world whose direction gives that
/// tracker's own heading, so trackers no longer need to share one and the reference need not be
/// square. A segment that turned less than kLeastSkiTurn (a flat foot) cannot tell its heading:
/// where every heading found lies within a few degrees of the reference's, the kit shares one and
/// the segment keeps its heading from the first step, corrected by as much as the reference's
/// moved; otherwise its tracker is taken to lie along the segment, rolled any way about it.
/// Refuses unless every calibrated tracker sent frames and held still.
Result<Calibration> calibrate_mounting(const Calibration& first, const HoldSummary& ski);

/// A quick fix of heading drift, the person standing as in the first step: each present tracker's
/// correction turns about its world's up until its segment has the first pose's heading again.
/// Tilt and mounting stay as they were; absent trackers keep theirs.
Calibration reset_heading(const Calibration& calibration, const Orientations& standing);

/// `reported` turned into its segment's rotation in the body frame: A^-1 * q * M^-1.
inline Quaternion segment_rotation(const TrackerCalibration& tracker, const Quaternion& reported) {
  return tracker.correction.conjugate() * reported * tracker.mounting.conjugate();
}

}  // namespace sorvel::pose
