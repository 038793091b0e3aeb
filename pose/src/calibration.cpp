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

  const Quaternion correction = square_correction(hold.at(*reference).mean, pose, *reference, up);

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
