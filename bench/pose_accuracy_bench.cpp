// How close the pose solver comes to the simulated person's truth. No USB and no kit: every
// tracker of the person is sampled at 100 Hz on simulated time and decoded as the driver decodes
// it, so the quantisation is the wire's. The person calibrates by holding the poses their script
// holds (the middle second of each), then every frame is solved and compared with the truth.
//
//   two-step:  random mountings, each tracker its own heading, I-pose then ski pose, over walking,
//              arm raises and turning, several seeds: segment angle and hand/foot joint errors
//   one-step:  the I-pose alone, the chest strapped on square, the trackers sharing a heading;
//              then the same with each tracker's own heading (which the first step cannot know)
//   drift:     1 degree a minute per tracker, the heading reset from a frame of the I-pose held
//              once a minute, ten minutes
//
// Noise 0.5 degrees throughout. Prints one JSON object on stdout.
//
//   sorvel_pose_accuracy_bench [--smoke]     (--smoke: a few seconds of each, one seed)

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "body/pose_accuracy.hpp"
#include "body/tracker_placement.hpp"

namespace {

using namespace sorvel;
using namespace sorvel::simulator;
using body::AccuracyErrors;
using body::AccuracyRun;
using body::percentile;

constexpr double kNoiseDeg = 0.5;

[[noreturn]] void fail(std::string_view what) {
  fmt::print(stderr, "sorvel_pose_accuracy_bench: {}\n", what);
  std::exit(1);
}

/// Walking, arm raises and turning, `seconds` each.
std::vector<BodyStep> motions(double seconds) {
  return {{std::nullopt, BodyMotion::Walk, seconds},
          {std::nullopt, BodyMotion::ArmRaises, seconds},
          {std::nullopt, BodyMotion::Turn, seconds}};
}

BodyScenario person(std::uint64_t seed, std::vector<BodyStep> script) {
  BodyScenario body;
  body.seed = seed;
  body.noise_deg = kNoiseDeg;
  body.script = std::move(script);
  body.loop = false;
  return body;
}

AccuracyErrors measured(const AccuracyRun& run) {
  auto errors = body::measure_accuracy(run);
  if (!errors) fail(errors.error().message);
  if (errors->segment_deg.empty()) fail("nothing was solved");
  return std::move(*errors);
}

void append(AccuracyErrors& all, const AccuracyErrors& more) {
  all.segment_deg.insert(all.segment_deg.end(), more.segment_deg.begin(), more.segment_deg.end());
  all.extremity_m.insert(all.extremity_m.end(), more.extremity_m.begin(), more.extremity_m.end());
  all.heading_resets += more.heading_resets;
}

/// The two-step calibration over several people.
AccuracyErrors two_step(int seeds, double motion_seconds) {
  AccuracyErrors all;
  for (int seed = 1; seed <= seeds; ++seed) {
    AccuracyRun run;
    run.body =
        person(static_cast<std::uint64_t>(seed), body::calibration_script(motions(motion_seconds)));
    append(all, measured(run));
  }
  return all;
}

/// The first step alone: the trackers' mountings drawn at random, the chest's square.
AccuracyErrors one_step(bool shared_heading, int seeds, double motion_seconds) {
  AccuracyErrors all;
  for (int seed = 1; seed <= seeds; ++seed) {
    AccuracyRun run;
    run.ski_step = false;
    run.body = person(static_cast<std::uint64_t>(seed),
                      body::calibration_script(motions(motion_seconds), false));
    const body::TrackerPlacement drawn(run.body);
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      run.body.mountings[i] = drawn.mounting(static_cast<BodyPart>(i));
    }
    run.body.mountings[pose::index_of(BodyPart::Chest)] = pose::Quaternion::identity();
    run.body.mounting = MountingKind::Given;
    run.body.shared_heading = shared_heading;
    run.body.heading_deg = 40.0 * seed;
    append(all, measured(run));
  }
  return all;
}

/// Drifting headings, reset once a minute from the I-pose held for 2 s at the end of the minute.
AccuracyErrors drifting(int minutes, double motion_seconds) {
  std::vector<BodyStep> minute = motions(motion_seconds);
  minute.push_back({HeldPose::I, std::nullopt, 2.0});
  std::vector<BodyStep> script;
  for (int m = 0; m < minutes; ++m) script.insert(script.end(), minute.begin(), minute.end());
  AccuracyRun run;
  run.body = person(7, body::calibration_script(std::move(script)));
  run.body.drift_deg_per_min = 1.0;
  AccuracyErrors errors = measured(run);
  if (errors.heading_resets != static_cast<std::size_t>(minutes))
    fail("a heading reset is missing");
  return errors;
}

std::string figure(std::string_view name, double value, std::string_view unit) {
  return fmt::format("\"{}\": {{\"value\": {:.4g}, \"unit\": \"{}\"}}", name, value, unit);
}

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--smoke") {
      smoke = true;
    } else {
      fail(fmt::format("unknown argument \"{}\"; usage: [--smoke]", argv[i]));
    }
  }
  const int seeds = smoke ? 1 : 5;
  // Turning takes whole turns of 6 s; 20 s of each motion make a minute with the holds.
  const double motion_seconds = smoke ? 6.0 : 20.0;

  const AccuracyErrors calibrated = two_step(seeds, motion_seconds);
  const AccuracyErrors shared = one_step(true, seeds, motion_seconds);
  const AccuracyErrors own = one_step(false, seeds, motion_seconds);
  // Each minute: 58 s of motions and the I-pose held for 2 s.
  const AccuracyErrors drift = smoke ? drifting(1, 6.0) : drifting(10, 58.0 / 3.0);

  std::vector<std::string> figures{
      figure("pose_error_deg_median", percentile(calibrated.segment_deg, 0.5), "deg"),
      figure("pose_error_deg_p99", percentile(calibrated.segment_deg, 0.99), "deg"),
      figure("pose_position_error_cm_p99", 100.0 * percentile(calibrated.extremity_m, 0.99), "cm"),
      figure("pose_one_step_error_deg_median", percentile(shared.segment_deg, 0.5), "deg"),
      figure("pose_one_step_error_deg_p99", percentile(shared.segment_deg, 0.99), "deg"),
      figure("pose_one_step_own_headings_error_deg_median", percentile(own.segment_deg, 0.5),
             "deg"),
      figure("pose_drift_error_deg_p99", percentile(drift.segment_deg, 0.99), "deg"),
  };
  fmt::print("{{{}, \"segment_errors\": {}, \"seeds\": {}}}\n", fmt::join(figures, ", "),
             calibrated.segment_deg.size(), seeds);
  return 0;
}
