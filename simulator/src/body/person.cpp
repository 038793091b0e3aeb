#include "person.hpp"

#include <cmath>

#include "poses.hpp"
#include "sorvel/platform/platform.hpp"
#include "sorvel/pose/kinematics.hpp"

namespace sorvel::simulator::body {

namespace {
constexpr double kGravity = 9.81;
/// Accelerations are central differences over this step, seconds.
constexpr double kStep = 0.004;
constexpr double kHoldBlendIn = 0.3;
constexpr double kHoldBlendOut = 0.5;
constexpr std::uint16_t kAccuracy = 3;
}  // namespace

Person::Person(const BodyScenario& body)
    : proportions_(body.proportions),
      noise_deg_(body.noise_deg),
      script_(body),
      placement_(body),
      noise_(body.seed ^ 0x6E6F697365ull),  // a stream of its own, apart from the placement's
      hold_seen_(latest_hold_number()) {    // a person comes along after earlier requests
  if (!body.truth_path.empty()) {
    // The path was found writable when the scenario was read; one gone since leaves no truth.
    if (auto file = TruthFile::open(body.truth_path)) truth_.emplace(std::move(*file));
  }
}

void Person::on_stream_start(std::chrono::steady_clock::time_point start) {
  stream_start_ = start;
  for (Moment& moment : moments_) moment.seconds = -1.0;  // the times start again
}

void Person::on_stream_stop() {
  if (truth_) truth_->flush();
}

void Person::check_requests() {
  const std::uint64_t latest = latest_hold_number();
  if (latest == hold_seen_) return;
  hold_seen_ = latest;
  hold_ = latest_hold();
  hold_segments_ = script_.facing(held(hold_->pose));
  for (Moment& moment : moments_) moment.seconds = -1.0;
}

double Person::hold_weight(double seconds) const {
  if (!hold_) return 0.0;
  const double start = std::chrono::duration<double>(hold_->start - stream_start_).count();
  const double into = seconds - start;
  if (into <= 0.0) return 0.0;
  return std::min(ease(into / kHoldBlendIn), 1.0 - ease((into - hold_->seconds) / kHoldBlendOut));
}

BodyState Person::state_at(double seconds) const {
  BodyState state;
  state.segments = script_.at(seconds);
  if (const double weight = hold_weight(seconds); weight > 0.0) {
    state.segments = blend_segments(state.segments, *hold_segments_, weight);
  }
  state.joints = pose::joint_positions(state.segments, proportions_);
  return state;
}

const Person::Moment& Person::moment_at(double seconds) {
  for (const Moment& moment : moments_) {
    if (moment.seconds == seconds) return moment;
  }
  Moment& moment = moments_[next_moment_];
  next_moment_ = (next_moment_ + 1) % moments_.size();
  moment.seconds = seconds;
  moment.states = {state_at(seconds - kStep), state_at(seconds), state_at(seconds + kStep)};
  return moment;
}

protocol::SensorSample Person::sample(const TrackerSpec& tracker, double seconds,
                                      std::uint64_t index) {
  using protocol::float_to_fixed;
  check_requests();
  const Moment& moment = moment_at(seconds);
  const BodyPart part = tracker.body_part;
  const std::size_t i = pose::index_of(part);
  const BodyState& now = moment.states[1];

  // The tracker sits at the middle of its segment.
  const pose::Vec3 half = pose::rest_extent(proportions_, part) * 0.5;
  auto centre = [&](const BodyState& state) {
    return state.joints[i] + state.segments[i].rotate(half);
  };
  const pose::Vec3 acceleration =
      (centre(moment.states[2]) - centre(now) * 2.0 + centre(moment.states[0])) *
      (1.0 / (kStep * kStep));
  // Tracker coordinates into body coordinates; gravity is -Y in the body frame, so the specific
  // force is the acceleration plus g up.
  const pose::Quaternion sensor = now.segments[i] * placement_.mounting(part);
  const pose::Vec3 force = sensor.conjugate().rotate(acceleration + pose::Vec3{0, kGravity, 0});

  pose::Quaternion reported = placement_.heading(part, seconds) * kUp * sensor;
  if (noise_deg_ > 0.0) {
    // A small turn about a random axis, each component of its rotation vector alike, so that
    // its root mean square angle is noise_deg.
    const double spread = noise_deg_ * kDegree / std::sqrt(3.0);
    const pose::Vec3 turn{noise_.normal() * spread, noise_.normal() * spread,
                          noise_.normal() * spread};
    if (const double angle = turn.norm(); angle > 0.0) {
      reported = pose::Quaternion::from_axis_angle(turn, angle) * reported;
    }
  }

  protocol::SensorSample sample;
  sample.value_a = static_cast<std::uint64_t>(seconds * 1e6);
  sample.value_b = index;
  const std::array<double, 4> xyzw{reported.x, reported.y, reported.z, reported.w};
  for (std::size_t c = 0; c < xyzw.size(); ++c) {
    sample.orientation[c] = float_to_fixed(static_cast<float>(xyzw[c]), protocol::kQuaternionBits);
  }
  sample.second_quaternion = sample.orientation;
  sample.acceleration = {float_to_fixed(static_cast<float>(force.x), protocol::kAccelerationBits),
                         float_to_fixed(static_cast<float>(force.y), protocol::kAccelerationBits),
                         float_to_fixed(static_cast<float>(force.z), protocol::kAccelerationBits)};
  sample.scalar = float_to_fixed(25.0f, protocol::kScalarBits);
  sample.body_part = part;
  sample.accuracy = kAccuracy;

  if (truth_) {
    const auto decoded = protocol::to_frame(sample).orientation;  // x, y, z, w
    truth_->add(platform::monotonic_ns(), part, {decoded[3], decoded[0], decoded[1], decoded[2]},
                now.segments[i], now.joints[i]);
  }
  return sample;
}

}  // namespace sorvel::simulator::body
