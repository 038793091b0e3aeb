#pragma once
// Where the scripted receiver's trackers get their sensor samples. Synthetic motion is one
// source; a simulated body (simulator/src/body/) plugs in here as another.

#include <cstdint>

#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

class SampleSource {
 public:
  virtual ~SampleSource() = default;
  /// The sample `tracker` reports at `seconds` since streaming started; `index` counts samples.
  /// Called with the kit's lock held.
  virtual protocol::SensorSample sample(const TrackerSpec& tracker, double seconds,
                                        std::uint64_t index) const = 0;
};

}  // namespace sorvel::simulator
