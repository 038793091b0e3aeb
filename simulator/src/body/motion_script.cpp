#include "motion_script.hpp"

#include <algorithm>
#include <cmath>

#include "poses.hpp"

namespace sorvel::simulator::body {

namespace {
// Long enough that nothing jumps, short enough that a held pose is soon reached.
constexpr double kBlendSeconds = 0.5;
}  // namespace

MotionScript::MotionScript(const BodyScenario& body)
    : steps_(body.script), loop_(body.loop), facing_(turn_y(body.facing_deg)) {
  for (const BodyStep& step : steps_) {
    starts_.push_back(length_);
    length_ += step.seconds;
  }
}

Segments MotionScript::step_at(std::size_t step, double seconds) const {
  const BodyStep& s = steps_[step];
  return s.pose ? held(*s.pose) : moving(*s.motion, seconds, s.seconds);
}

Segments MotionScript::at(double seconds) const {
  seconds = std::max(seconds, 0.0);
  const bool looped = seconds >= length_;
  if (looped && !loop_) return facing(step_at(steps_.size() - 1, steps_.back().seconds));
  const double into = looped ? std::fmod(seconds, length_) : seconds;
  const auto after = std::upper_bound(starts_.begin(), starts_.end(), into);
  const std::size_t step = static_cast<std::size_t>(after - starts_.begin()) - 1;
  const double local = into - starts_[step];
  const Segments now = step_at(step, local);
  const double blend = std::min(kBlendSeconds, steps_[step].seconds);
  const bool has_previous = step > 0 || looped;
  if (!has_previous || local >= blend) return facing(now);
  // The step before carries on underneath and fades out.
  const std::size_t previous = step > 0 ? step - 1 : steps_.size() - 1;
  const Segments before = step_at(previous, steps_[previous].seconds + local);
  return facing(blend_segments(before, now, ease(local / blend)));
}

}  // namespace sorvel::simulator::body
