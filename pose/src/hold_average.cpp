#include "sorvel/pose/hold_average.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace sorvel::pose {

void HoldAverage::add(BodyPart part, const Quaternion& q) {
  expect(part);
  frames_[index_of(part)].push_back(q.normalized());
}

void HoldAverage::add(const Orientations& frame) {
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto part = static_cast<BodyPart>(i);
    if (frame.has(part)) add(part, frame.at(part));
  }
}

namespace {

// q and -q are one rotation: every frame is flipped to the first one's side before summing, so
// that a mean of nearby rotations is near them (a still hold never spans a half turn).
Quaternion sign_aligned_mean(const std::vector<Quaternion>& frames) {
  const Quaternion& first = frames.front();
  Quaternion sum{0.0, 0.0, 0.0, 0.0};
  for (const auto& q : frames) {
    const double s = q.dot(first) < 0.0 ? -1.0 : 1.0;
    sum = {sum.w + s * q.w, sum.x + s * q.x, sum.y + s * q.y, sum.z + s * q.z};
  }
  return sum.normalized();
}

}  // namespace

std::optional<Error> hold_refusal(const HoldSummary& hold, BodyPart part) {
  const HeldPart& held = hold.at(part);
  switch (held.state) {
    case HoldState::NotPaired:
    case HoldState::SentNothing:
      return Error{fmt::format("{} sent nothing during the hold", part)};
    case HoldState::Moved:
      return Error{fmt::format("{} moved during the hold ({:.1f} degrees)", part,
                               held.largest_deviation * 180.0 / std::numbers::pi)};
    case HoldState::Still:
      break;
  }
  return std::nullopt;
}

HoldSummary HoldAverage::summary() const {
  HoldSummary summary;
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const auto& frames = frames_[i];
    HeldPart& part = summary.parts[i];
    part.frames = frames.size();
    if (frames.empty()) {
      const bool paired = (expected_ & (1u << i)) != 0;
      part.state = paired ? HoldState::SentNothing : HoldState::NotPaired;
      continue;
    }
    part.mean = sign_aligned_mean(frames);
    for (const auto& q : frames) {
      part.largest_deviation = std::max(part.largest_deviation, angle_between(q, part.mean));
    }
    part.state = part.largest_deviation > still_threshold_ ? HoldState::Moved : HoldState::Still;
  }
  return summary;
}

}  // namespace sorvel::pose
