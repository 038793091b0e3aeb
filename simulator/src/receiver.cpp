#include "receiver.hpp"

#include "replay_player.hpp"
#include "scripted_receiver.hpp"

namespace sorvel::simulator {

std::unique_ptr<Receiver> make_receiver(const Scenario& scenario) {
  if (scenario.replay) return std::make_unique<ReplayPlayer>(*scenario.replay);
  return std::make_unique<ScriptedReceiver>(scenario);
}

}  // namespace sorvel::simulator
