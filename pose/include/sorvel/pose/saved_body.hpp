#pragma once
// A body kept between sessions: its lengths and its calibration, as JSON text.

#include <string>
#include <string_view>

#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/result.hpp"
#include "sorvel/pose/skeleton.hpp"

namespace sorvel::pose {

struct SavedBody {
  Proportions proportions;
  Calibration calibration;
};

/// The body as a JSON object; reading it back gives the same body, bit for bit.
std::string to_json(const SavedBody& body);

/// Reads what to_json wrote. Refuses, saying where, anything else: text that is not JSON, a
/// missing or mistyped field, an unknown body part, a length not positive, a quaternion that is not
/// a finite unit one. Never throws.
Result<SavedBody> saved_body_from_json(std::string_view text);

}  // namespace sorvel::pose
