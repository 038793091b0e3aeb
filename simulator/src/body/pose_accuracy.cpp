#include "pose_accuracy.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/solver.hpp"
#include "sorvel/protocol/sensor_report.hpp"

namespace sorvel::simulator::body {

namespace {

constexpr double kHoldSeconds = 2.0;
constexpr std::array kExtremities{BodyPart::LeftHand, BodyPart::RightHand, BodyPart::LeftFoot,
                                  BodyPart::RightFoot};

struct Window {
  double begin = 0.0;
  double end = 0.0;
  bool contains(double t) const { return t >= begin && t < end; }
};

/// The middle second of a step, or all of a shorter one.
Window middle_second(double start, double length) {
  const double half = std::min(length, 1.0) / 2.0;
  const double middle = start + length / 2.0;
  return {middle - half, middle + half};
}

bool holds(const BodyStep& step, HeldPose pose) {
  return step.pose == pose;
}

}  // namespace

std::vector<BodyStep> calibration_script(std::vector<BodyStep> motions, bool ski_step) {
  std::vector<BodyStep> script{{HeldPose::I, std::nullopt, kHoldSeconds}};
  if (ski_step) script.push_back({HeldPose::Ski, std::nullopt, kHoldSeconds});
  script.insert(script.end(), motions.begin(), motions.end());
  return script;
}

pose::Orientations frames_at(Person& person, double seconds) {
  pose::Orientations frames;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const TrackerSpec tracker{TrackerAddress{}, static_cast<BodyPart>(i)};
    frames.set(protocol::to_frame(person.sample(tracker, seconds, 0)));
  }
  return frames;
}

pose::Result<AccuracyErrors> measure_accuracy(const AccuracyRun& run) {
  const auto& script = run.body.script;
  const std::size_t holds_count = run.ski_step ? 2 : 1;
  if (script.size() <= holds_count || !holds(script[0], HeldPose::I) ||
      (run.ski_step && !holds(script[1], HeldPose::Ski))) {
    return pose::Error{"the script opens with the I-pose held, then the ski pose, then motions"};
  }
  std::vector<double> starts;
  double length = 0.0;
  for (const BodyStep& step : script) {
    starts.push_back(length);
    length += step.seconds;
  }
  const double seconds = run.seconds > 0.0 ? run.seconds : length;
  const Window first_hold = middle_second(starts[0], script[0].seconds);
  const Window ski_hold = middle_second(starts[1], script[1].seconds);
  const double solved_from = starts[holds_count];
  std::vector<double> resets;
  for (std::size_t k = holds_count; k < script.size(); ++k) {
    if (holds(script[k], HeldPose::I)) resets.push_back(starts[k] + script[k].seconds / 2.0);
  }

  Person person(run.body);
  const pose::Proportions& proportions = run.body.proportions;
  pose::HoldAverage first_frames, ski_frames;
  pose::Calibration calibration;
  pose::Pose solved;
  AccuracyErrors errors;
  auto next_reset = resets.begin();
  const auto frames = static_cast<std::size_t>(std::ceil(seconds * kSolveRateHz));
  for (std::size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / kSolveRateHz;
    const pose::Orientations reported = frames_at(person, t);
    if (t < solved_from) {
      if (first_hold.contains(t)) first_frames.add(reported);
      if (run.ski_step && ski_hold.contains(t)) ski_frames.add(reported);
      const double next = static_cast<double>(n + 1) / kSolveRateHz;
      if (next >= solved_from) {
        auto first = pose::calibrate(first_frames.summary(), pose::StandingPose::I);
        if (!first) return first.error();
        calibration = std::move(*first);
        if (run.ski_step) {
          auto refined = pose::calibrate_mounting(calibration, ski_frames.summary());
          if (!refined) return refined.error();
          calibration = std::move(*refined);
        }
      }
      continue;
    }
    if (next_reset != resets.end() && t >= *next_reset) {
      calibration = pose::reset_heading(calibration, reported);
      ++errors.heading_resets;
      ++next_reset;
    }
    pose::solve(calibration, proportions, reported, solved);
    const BodyState truth = body_truth(run.body, t);
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      if (!calibration.trackers[i].calibrated || !reported.has(static_cast<BodyPart>(i))) continue;
      errors.segment_deg.push_back(pose::angle_between(solved.rotations[i], truth.segments[i]) /
                                   kDegree);
    }
    for (const BodyPart part : kExtremities) {
      const std::size_t i = pose::index_of(part);
      errors.extremity_m.push_back((solved.positions[i] - truth.joints[i]).norm());
    }
  }
  return errors;
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0.0;
  const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                   values.end());
  return values[rank];
}

}  // namespace sorvel::simulator::body
