#pragma once
// The simulated person as the scripted receiver's source of samples: their script (or a pose
// they were asked to hold), the skeleton it moves, and what each tracker on them measures.

#include <array>
#include <chrono>
#include <optional>

#include "hold_requests.hpp"
#include "motion_script.hpp"
#include "random.hpp"
#include "sample_source.hpp"
#include "sorvel/simulator/body.hpp"
#include "tracker_placement.hpp"
#include "truth_file.hpp"

namespace sorvel::simulator::body {

class Person final : public SampleSource {
 public:
  explicit Person(const BodyScenario& body);

  protocol::SensorSample sample(const TrackerSpec& tracker, double seconds,
                                std::uint64_t index) override;
  void on_stream_start(std::chrono::steady_clock::time_point start) override;
  void on_stream_stop() override;

 private:
  /// Where every segment is at `seconds`, a pose asked for included.
  BodyState state_at(double seconds) const;
  /// The body a moment before, at and after one time, for the trackers' accelerations.
  struct Moment {
    double seconds = -1.0;
    std::array<BodyState, 3> states{};
  };
  const Moment& moment_at(double seconds);
  /// Takes up the latest hold request if it is new.
  void check_requests();
  /// How far into the held pose the person is at `seconds`, 0 to 1.
  double hold_weight(double seconds) const;

  pose::Proportions proportions_;
  double noise_deg_;
  MotionScript script_;
  TrackerPlacement placement_;
  Random noise_;
  std::optional<TruthFile> truth_;
  PersonPresence presence_;
  std::chrono::steady_clock::time_point stream_start_{};
  std::uint64_t hold_seen_ = 0;
  std::optional<HoldRequest> hold_;
  std::optional<Segments> hold_segments_;
  /// A round of reports asks for kSamplesPerReport times, tracker after tracker.
  std::array<Moment, protocol::kSamplesPerReport> moments_{};
  std::size_t next_moment_ = 0;
};

}  // namespace sorvel::simulator::body
