#pragma once
// One decoded sample of one tracker: what frame queues and latest-frame cells hold.

#include <array>
#include <cstdint>

#include "sorvel/trackers/body_part.hpp"

namespace sorvel {

struct TrackerFrame {
  std::array<float, 4> orientation{0.0f, 0.0f, 0.0f, 1.0f};  ///< unit quaternion x, y, z, w
  std::array<float, 4> second_quaternion{0.0f, 0.0f, 0.0f, 1.0f};
  std::uint64_t value_a = 0;
  std::uint64_t value_b = 0;
  std::array<float, 3> acceleration{0.0f, 0.0f, 0.0f};
  float scalar = 0.0f;
  std::uint16_t accuracy = 0;  ///< kept at its full 16 bits
  std::uint8_t extra = 0;
  BodyPart body_part = BodyPart::LeftLowerArm;
  /// 1 only in the default frame a tracker shows before its first report; decoded frames carry 0.
  std::uint8_t validity = 1;

  bool operator==(const TrackerFrame&) const = default;
};

/// What a newly paired tracker shows until its first frame arrives.
inline constexpr TrackerFrame kDefaultFrame{};

}  // namespace sorvel
