#pragma once
// What the calibration and the solver read: for every body part, the orientation its tracker
// reported, if any. Fixed size, no allocation.

#include <array>
#include <cmath>
#include <cstdint>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/pose/skeleton.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace sorvel::pose {

class Orientations {
 public:
  /// Takes `q` (normalised) for `part`; refuses, leaving the part as it was, a quaternion that is
  /// not finite or too short to be a rotation.
  bool set(BodyPart part, const Quaternion& q) {
    const double n = q.norm();
    if (!std::isfinite(n) || n < 1e-6) return false;
    rotations_[index_of(part)] = q.normalized();
    present_ = static_cast<std::uint16_t>(present_ | bit(part));
    return true;
  }

  /// A frame as the driver decodes it (x, y, z, w). The default frame a tracker shows before its
  /// first report is no orientation and is refused.
  bool set(const TrackerFrame& frame) {
    if (frame.validity != 0) return false;
    const auto& o = frame.orientation;
    return set(frame.body_part, Quaternion{o[3], o[0], o[1], o[2]});
  }

  void clear(BodyPart part) { present_ = static_cast<std::uint16_t>(present_ & ~bit(part)); }
  bool has(BodyPart part) const { return (present_ & bit(part)) != 0; }
  bool empty() const { return present_ == 0; }
  /// The orientation of a present part; the identity for an absent one.
  const Quaternion& at(BodyPart part) const {
    static constexpr Quaternion kNone{};
    return has(part) ? rotations_[index_of(part)] : kNone;
  }

 private:
  static constexpr std::uint16_t bit(BodyPart part) {
    return static_cast<std::uint16_t>(1u << index_of(part));
  }

  std::array<Quaternion, kBodyPartCount> rotations_{};
  std::uint16_t present_ = 0;
};

}  // namespace sorvel::pose
