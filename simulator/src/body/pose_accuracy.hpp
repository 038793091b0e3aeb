#pragma once
// How far the pose solver's body is from the simulated person's: the trackers sampled on
// simulated time and decoded as the driver decodes them, calibrated as the person would
// calibrate (holding the poses their script holds), every frame after that solved and compared
// with the truth.

#include <cstddef>
#include <vector>

#include "person.hpp"
#include "sorvel/pose/orientations.hpp"
#include "sorvel/pose/result.hpp"
#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator::body {

/// Every tracker's samples a second, on simulated time.
inline constexpr double kSolveRateHz = 100.0;

/// The holds a calibration needs, 2 s each, followed by `motions`: the I-pose, then (with
/// `ski_step`) the ski pose.
std::vector<BodyStep> calibration_script(std::vector<BodyStep> motions, bool ski_step = true);

struct AccuracyRun {
  /// The script opens with the holds of calibration_script(). Every later I-pose held resets
  /// the heading with the frame at its middle.
  BodyScenario body;
  bool ski_step = true;  ///< calibrate_mounting after calibrate
  double seconds = 0.0;  ///< simulated time from the script's start; 0: the whole script
};

struct AccuracyErrors {
  std::vector<double> segment_deg;  ///< every tracked segment, every frame after calibration
  std::vector<double> extremity_m;  ///< the hands' and feet's joints, every frame likewise
  std::size_t heading_resets = 0;
};

/// Every tracker's frame at `seconds`, each sample through protocol::to_frame.
pose::Orientations frames_at(Person& person, double seconds);

/// Runs `run`; refuses what the calibration refuses, or a script that does not open as
/// calibration_script() makes it.
pose::Result<AccuracyErrors> measure_accuracy(const AccuracyRun& run);

/// The value below which `share` (0 to 1) of `values` lies, nearest rank; 0 for none.
double percentile(std::vector<double> values, double share);

}  // namespace sorvel::simulator::body
