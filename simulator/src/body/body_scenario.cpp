#include "motion_script.hpp"
#include "sorvel/pose/kinematics.hpp"
#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator {

std::optional<HeldPose> held_pose_from_name(std::string_view name) {
  if (name == "T") return HeldPose::T;
  if (name == "I") return HeldPose::I;
  if (name == "ski") return HeldPose::Ski;
  return std::nullopt;
}

std::vector<BodyStep> BodyScenario::default_script() {
  return {
      {HeldPose::I, std::nullopt, 4.0},      {std::nullopt, BodyMotion::Sway, 8.0},
      {std::nullopt, BodyMotion::Walk, 8.0}, {std::nullopt, BodyMotion::ArmRaises, 8.0},
      {std::nullopt, BodyMotion::Turn, 8.0},
  };
}

BodyState body_truth(const BodyScenario& body, double seconds) {
  BodyState state;
  state.segments = body::MotionScript(body).at(seconds);
  state.joints = pose::joint_positions(state.segments, body.proportions);
  return state;
}

}  // namespace sorvel::simulator
