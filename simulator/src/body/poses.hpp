#pragma once
// What the person does: poses held still and motions, each as segment orientations in the body
// frame at a time into its step.

#include "segments.hpp"
#include "sorvel/simulator/body.hpp"

namespace sorvel::simulator::body {

Segments held(HeldPose pose);

/// `motion` at `seconds` into a step of `length` seconds; defined past the step's end too, where
/// a following step blends in.
Segments moving(BodyMotion motion, double seconds, double length);

}  // namespace sorvel::simulator::body
