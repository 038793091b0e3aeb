#pragma once
// What Body's calibration and solving take from Python: poll()'s (Report, fresh) pairs, Reports
// or Frames, read into the pose component's inputs without making Python values.

#include <Python.h>

#include "module_state.hpp"
#include "sorvel/pose/hold_average.hpp"
#include "sorvel/pose/orientations.hpp"

namespace pysorvel {

/// Every item of `items` into `hold`, each item's body part expected. False with TypeError set,
/// naming `function`, for anything else.
bool read_hold(ModuleState& state, PyObject* items, const char* function,
               sorvel::pose::HoldAverage& hold);

/// The newest orientation of every body part in `items` (a later item overrides an earlier one).
bool read_latest(ModuleState& state, PyObject* items, const char* function,
                 sorvel::pose::Orientations& latest);

}  // namespace pysorvel
