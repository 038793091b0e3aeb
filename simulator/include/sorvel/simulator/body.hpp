#pragma once
// A simulated person wearing the virtual kit: who they are, what they do, how the trackers sit on
// them, and the noiseless truth of their pose to measure a pose solver against.
//
// Segment orientations are in the body frame (see sorvel/pose/skeleton.hpp): right-handed, Y up,
// the person facing +Z at rest. Every segment's orientation includes the person's facing and any
// turn they make on the spot.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/pose/skeleton.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::simulator {

/// Poses a person can hold: arms out (the rest pose), arms down, and a skier's crouch.
enum class HeldPose : std::uint8_t { T, I, Ski };
enum class BodyMotion : std::uint8_t { Sway, Walk, ArmRaises, Turn };

/// "T", "I", "ski"; nothing for any other text.
std::optional<HeldPose> held_pose_from_name(std::string_view name);

/// One step of the person's script: a pose held still or a motion, for `seconds`.
struct BodyStep {
  std::optional<HeldPose> pose;
  std::optional<BodyMotion> motion;  ///< exactly one of pose and motion is set
  double seconds = 1.0;
};

enum class MountingKind : std::uint8_t {
  Random,  ///< any turn about the limb, tilted up to 20 degrees, from the seed
  Square,  ///< tracker axes along the segment's
  Given,   ///< BodyScenario::mountings
};

struct BodyScenario {
  pose::Proportions proportions = pose::Proportions::from_height(1.75);
  std::uint64_t seed = 1;
  MountingKind mounting = MountingKind::Random;
  /// With MountingKind::Given: tracker coordinates into segment coordinates, by body part index.
  std::array<pose::Quaternion, kBodyPartCount> mountings{};
  /// Every tracker's heading zero is its own (from the seed), or heading_deg for all.
  bool shared_heading = false;
  double heading_deg = 0.0;
  double facing_deg = 0.0;         ///< the person's yaw about body Y at start
  double drift_deg_per_min = 0.0;  ///< each tracker's heading drifts up to this, either way
  double noise_deg = 0.5;          ///< orientation noise of every sample; 0 for none
  std::vector<BodyStep> script = default_script();
  bool loop = true;
  /// Where the kit writes a row of truth for every sample it generates; empty for nowhere.
  std::string truth_path;

  /// Holds the I-pose a few seconds, then sways, walks in place, raises the arms and turns.
  static std::vector<BodyStep> default_script();
};

/// Where every segment is at one moment: orientations in the body frame and joint positions
/// (metres, hips above the origin), indexed by pose::index_of.
struct BodyState {
  std::array<pose::Quaternion, kBodyPartCount> segments{};
  std::array<pose::Vec3, kBodyPartCount> joints{};
};

/// The person's noiseless pose as their script has it (held-pose requests aside), at `seconds`
/// since the kit started streaming.
BodyState body_truth(const BodyScenario& body, double seconds);

}  // namespace sorvel::simulator
