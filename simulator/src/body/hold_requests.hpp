#pragma once
// Asking every simulated person of the process to hold a pose for a while: the latest request,
// numbered so that a person notices a new one with one atomic read per sample.

#include <chrono>
#include <cstdint>

#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator::body {

struct HoldRequest {
  std::uint64_t number = 0;  ///< 0: none yet
  HeldPose pose = HeldPose::I;
  std::chrono::steady_clock::time_point start;
  double seconds = 0.0;
};

/// Stands for one simulated person while it lives, so that requests know whether anyone hears.
class PersonPresence {
 public:
  PersonPresence();
  ~PersonPresence();
  PersonPresence(const PersonPresence&) = delete;
  PersonPresence& operator=(const PersonPresence&) = delete;
};

/// The latest request's number; 0 while there is none. Thread safety: any thread.
std::uint64_t latest_hold_number();
/// The latest request. Thread safety: any thread.
HoldRequest latest_hold();

}  // namespace sorvel::simulator::body
