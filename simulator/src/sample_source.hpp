#pragma once
// Where the scripted receiver's trackers get their sensor samples. Synthetic motion is one
// source; a simulated body (simulator/src/body/) plugs in here as another.

#include <chrono>
#include <cstdint>

#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

/// Every member is called with the kit's lock held.
class SampleSource {
 public:
  virtual ~SampleSource() = default;
  /// The sample `tracker` reports at `seconds` since streaming started; `index` counts samples.
  virtual protocol::SensorSample sample(const TrackerSpec& tracker, double seconds,
                                        std::uint64_t index) = 0;
  /// Streaming starts: `seconds` 0 of the samples that follow is `start`.
  virtual void on_stream_start(std::chrono::steady_clock::time_point /*start*/) {}
  /// Streaming stops (or never started: a reset or power-off stops it too).
  virtual void on_stream_stop() {}
};

}  // namespace sorvel::simulator
