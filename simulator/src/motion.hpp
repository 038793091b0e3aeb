#pragma once
// Synthetic sensor samples: slowly varying unit quaternions and an acceleration near gravity.

#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

/// The sample `tracker` reports at `seconds` since streaming started; `index` counts samples.
protocol::SensorSample sample_at(const TrackerSpec& tracker, Motion motion, double seconds,
                                 std::uint64_t index);

}  // namespace sorvel::simulator
