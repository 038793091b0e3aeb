#pragma once
// The person's script as a timeline: which step runs at a time, blended smoothly into the next,
// looping or holding the end, all turned to the person's facing.

#include <vector>

#include "segments.hpp"
#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator::body {

class MotionScript {
 public:
  /// `body.script` is not empty and every step is longer than zero.
  explicit MotionScript(const BodyScenario& body);

  /// Every segment at `seconds` since the script began.
  Segments at(double seconds) const;
  /// The person's facing turned onto `segments`, as at() turns the script's.
  Segments facing(const Segments& segments) const { return turned(facing_, segments); }

 private:
  Segments step_at(std::size_t step, double seconds) const;

  std::vector<BodyStep> steps_;
  std::vector<double> starts_;  ///< of each step, seconds
  double length_ = 0.0;
  bool loop_ = true;
  pose::Quaternion facing_;
};

}  // namespace sorvel::simulator::body
