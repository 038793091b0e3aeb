#include "sorvel/pose/calibration.hpp"

#include "hold_checks.hpp"

namespace sorvel::pose {

Result<Calibration> calibrate(const HoldSummary& hold, StandingPose pose, WorldUp up) {
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    if (hold.at(part).state == HoldState::NotPaired) continue;
    if (auto refusal = hold_refusal(hold, part)) return *refusal;
  }
  const BodyPart* reference = nullptr;
  for (const BodyPart& candidate : kReferences) {
    if (hold.at(candidate).state == HoldState::Still) {
      reference = &candidate;
      break;
    }
  }
  if (reference == nullptr) return Error{"no reference tracker (Chest, Hips or Head) is paired"};

  // The reference reports q = Up * Ry(h) * S0 * M, h its heading. Its mounting is square when M
  // has no twist about the segment's own up in that pose, S0^-1 * Y, so Ry(h) is the twist of
  // Up^-1 * q * S0^-1 about Y.
  const Quaternion up_turn = up_rotation(up);
  const Quaternion seen = up_turn.conjugate() * hold.at(*reference).mean *
                          standing_rotation(pose, *reference).conjugate();
  const Quaternion correction = (up_turn * twist_about(seen, kBodyUp)).normalized();

  Calibration calibration;
  calibration.pose = pose;
  calibration.up = up;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    const HeldPart& held = hold.at(part);
    if (held.state != HoldState::Still) continue;
    TrackerCalibration& tracker = calibration.at(part);
    tracker.calibrated = true;
    tracker.correction = correction;
    tracker.first_hold = held.mean;
    tracker.mounting =
        (standing_rotation(pose, part).conjugate() * correction.conjugate() * held.mean)
            .normalized();
  }
  return calibration;
}

Calibration reset_heading(const Calibration& calibration, const Orientations& standing) {
  Calibration reset = calibration;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    TrackerCalibration& tracker = reset.at(part);
    if (!tracker.calibrated || !standing.has(part)) continue;
    // How far the segment has turned away from the pose, in the body frame; its twist about up
    // is the drift. Turning A by it on the body side is a turn about the world's up.
    const Quaternion away = segment_rotation(tracker, standing.at(part)) *
                            standing_rotation(calibration.pose, part).conjugate();
    tracker.correction = (tracker.correction * twist_about(away, kBodyUp)).normalized();
  }
  return reset;
}

}  // namespace sorvel::pose
