#include "scripted_receiver.hpp"

#include "body/person.hpp"
#include "kit.hpp"
#include "motion.hpp"
#include "script_triggers.hpp"

namespace sorvel::simulator {

ScriptedReceiver::ScriptedReceiver(const Scenario& scenario)
    : scenario_(scenario),
      samples_(scenario.body
                   ? std::unique_ptr<SampleSource>(std::make_unique<body::Person>(*scenario.body))
                   : std::make_unique<SyntheticMotion>(scenario.motion)),
      model_(scenario, *samples_) {}

void ScriptedReceiver::on_open(Kit& kit) {
  fire_script_actions(kit, model_, scenario_.script, "open", false);
}

void ScriptedReceiver::on_command(Kit& kit, const Bytes& command, const CommandEnd& end) {
  const auto name = model_.on_command(kit, command);
  if (name) kit.record_locked(*name);
  // Actions in flight act before the command's own transfer ends, and decide how it ends.
  end(name && fire_script_actions(kit, model_, scenario_.script, *name, true));
  if (name) fire_script_actions(kit, model_, scenario_.script, *name, false);
}

}  // namespace sorvel::simulator
