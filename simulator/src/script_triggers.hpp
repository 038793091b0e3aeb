#pragma once
// The scenario's script: the actions fired each time their trigger (a command's name, or
// "open") happens, at once or after their delay. Called with the kit's lock held.

#include <string_view>
#include <vector>

#include "receiver_model.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

class Kit;

/// Fires the actions of `script` on `trigger` that are (or are not) in flight; true if any was.
/// `script` and `model` outlive the kit.
bool fire_script_actions(Kit& kit, ReceiverModel& model, const std::vector<ScriptAction>& script,
                         std::string_view trigger, bool in_flight);

}  // namespace sorvel::simulator
