#pragma once
// Synthetic sensor samples: slowly varying unit quaternions and an acceleration near gravity.

#include "sample_source.hpp"
#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

/// The sample `tracker` reports at `seconds` since streaming started; `index` counts samples.
protocol::SensorSample sample_at(const TrackerSpec& tracker, Motion motion, double seconds,
                                 std::uint64_t index);

/// The scenario's synthetic motion as a source of samples.
class SyntheticMotion final : public SampleSource {
 public:
  explicit SyntheticMotion(Motion motion) : motion_(motion) {}

  protocol::SensorSample sample(const TrackerSpec& tracker, double seconds,
                                std::uint64_t index) override {
    return sample_at(tracker, motion_, seconds, index);
  }

 private:
  Motion motion_;
};

}  // namespace sorvel::simulator
