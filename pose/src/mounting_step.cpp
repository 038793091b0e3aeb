#include <cmath>

#include "hold_checks.hpp"
#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/skeleton.hpp"

namespace sorvel::pose {
namespace {

constexpr Vec3 kBodyX{1.0, 0.0, 0.0};

/// Trackers whose headings from the ski pose all lie this close to the reference's share one
/// heading: further than the ski pose's own scatter, far nearer than own headings ever fall.
constexpr double kSharedHeadingSpread = 10.0 * std::numbers::pi / 180.0;

Quaternion with_positive_w(const Quaternion& q) {
  return q.w < 0.0 ? Quaternion{-q.w, -q.x, -q.y, -q.z} : q;
}

// The correction of a tracker taken to be strapped along its segment, rolled any way about it,
// in the first pose: its axis named as the segment's long axis then points, seen from above,
// where the segment does. A segment upright in that pose has no such bearing: its tracker is
// taken to be square about the vertical instead.
Quaternion along_segment_correction(const TrackerCalibration& tracker, StandingPose pose,
                                    BodyPart part, WorldUp up) {
  const Vec3 along = rest_extent(Proportions::from_height(1.0), part).normalized();
  const Vec3 wanted = standing_rotation(pose, part).rotate(along);
  const Vec3 level{wanted.x, 0.0, wanted.z};
  if (level.norm() < 0.5) return square_correction(tracker.first_hold, pose, part, up);
  const Quaternion up_turn = up_rotation(up);
  const Vec3 seen = (up_turn.conjugate() * tracker.first_hold).rotate(along);
  return (up_turn * Quaternion::from_axis_angle(kBodyUp, signed_angle_about(wanted, seen, kBodyUp)))
      .normalized();
}

// The heading h of the tracker world's A = Up * Ry(h), from the turn the tracker saw between the
// first pose and the ski pose; nothing when the segment turned too little to tell.
//
// Seen from the tracker's world, the segment turned by A * G * A^-1, G = Rx(beta) * P with P
// taking the first pose into the I-pose (the identity, or a quarter turn about Z for the arms
// after a T-pose) and beta the unknown size of the ski turn. Undoing Up leaves
// Ry(h) * G * Ry(-h): the angle gives beta (P's axis is at right angles to X), and the heading
// turns G's axis into the one seen.
std::optional<double> ski_heading(const Calibration& first, BodyPart part,
                                  const Quaternion& ski_mean) {
  const int sign = ski_turn_sign(part);
  if (sign == 0) return std::nullopt;
  const TrackerCalibration& tracker = first.at(part);
  const Quaternion up_turn = up_rotation(first.up);
  const Quaternion seen =
      with_positive_w(up_turn.conjugate() * ski_mean * tracker.first_hold.conjugate() * up_turn);
  const Quaternion to_i_pose = with_positive_w(standing_rotation(StandingPose::I, part) *
                                               standing_rotation(first.pose, part).conjugate());

  const double cos_half = std::fmin(1.0, seen.w / to_i_pose.w);
  const double beta = sign * 2.0 * std::acos(cos_half);
  if (std::fabs(beta) < kLeastSkiTurn) return std::nullopt;
  const Quaternion expected =
      with_positive_w(Quaternion::from_axis_angle(kBodyX, beta) * to_i_pose);
  return signed_angle_about(expected.vector(), seen.vector(), kBodyUp);
}

}  // namespace

Result<Calibration> calibrate_mounting(const Calibration& first, const HoldSummary& ski) {
  const BodyPart* reference = nullptr;
  for (const BodyPart& candidate : kReferences) {
    if (first.calibrated(candidate)) {
      reference = &candidate;
      break;
    }
  }
  if (reference == nullptr) return Error{"calibrate standing first: no tracker is calibrated"};
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    if (!first.calibrated(part)) continue;
    if (auto refusal = hold_refusal(ski, part)) return *refusal;
  }

  const Quaternion up_turn = up_rotation(first.up);
  Calibration refined = first;
  refined.mounting_refined = true;
  std::array<bool, kBodyPartCount> has_own_heading{};
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    if (!first.calibrated(part)) continue;
    const auto heading = ski_heading(first, part, ski.at(part).mean);
    if (!heading) continue;
    has_own_heading[i] = true;
    refined.at(part).correction =
        (up_turn * Quaternion::from_axis_angle(kBodyUp, *heading)).normalized();
  }

  // Parts that could not tell their heading (flat feet): in a kit whose trackers share one
  // heading they take the reference's, as in the first step, moved by as much as the reference's
  // own heading moved now that it need not be square. Where each tracker has a heading of its
  // own, the reference's says nothing about theirs: their trackers are taken to lie along their
  // segments.
  bool shared_heading = true;
  if (has_own_heading[index_of(*reference)]) {
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      if (has_own_heading[i] &&
          angle_between(refined.trackers[i].correction, refined.at(*reference).correction) >
              kSharedHeadingSpread) {
        shared_heading = false;
      }
    }
  }
  const Quaternion shift =
      refined.at(*reference).correction * first.at(*reference).correction.conjugate();
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    TrackerCalibration& tracker = refined.trackers[i];
    if (!tracker.calibrated) continue;
    const auto part = static_cast<BodyPart>(i);
    if (!has_own_heading[i]) {
      tracker.correction = shared_heading
                               ? (shift * tracker.correction).normalized()
                               : along_segment_correction(tracker, first.pose, part, first.up);
    }
    tracker.mounting = (standing_rotation(first.pose, part).conjugate() *
                        tracker.correction.conjugate() * tracker.first_hold)
                           .normalized();
  }
  return refined;
}

}  // namespace sorvel::pose
