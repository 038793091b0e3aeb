#include "script_triggers.hpp"

#include <chrono>

#include "kit.hpp"

namespace sorvel::simulator {

bool fire_script_actions(Kit& kit, ReceiverModel& model, const std::vector<ScriptAction>& script,
                         std::string_view trigger, bool in_flight) {
  bool fired = false;
  for (const ScriptAction& action : script) {
    if (action.on != trigger || action.in_flight != in_flight) continue;
    fired = true;
    // The scenario lives as long as the kit: a scripted stream is sent from where it lies.
    auto fire = [action = &action, model = &model](Kit& k) {
      if (action->response) k.queue_response_locked(*action->response);
      k.queue_report_transfers_locked(action->report_transfers,
                                      std::chrono::microseconds(action->report_interval_us));
      if (action->fail) k.fail_next_locked(action->fail->endpoint, action->fail->status);
      if (action->lose_tracker) model->lose_tracker(k, *action->lose_tracker);
      if (action->restore_tracker) model->restore_tracker(k, *action->restore_tracker);
      if (action->unplug) k.unplug_locked();
    };
    // Without a delay the action takes effect before anything else reaches the kit, so a
    // scripted fault hits the very next transfer.
    if (action.delay_ms == 0 || in_flight) {
      fire(kit);
    } else {
      kit.schedule(std::chrono::milliseconds(action.delay_ms), fire);
    }
  }
  return fired;
}

}  // namespace sorvel::simulator
