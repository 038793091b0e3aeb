#pragma once
// A recorded receiver played back: after being opened and after each command it sends what the
// capture shows it sent then, with the recorded timing, and goes away where the recorded one did.

#include <chrono>
#include <cstddef>
#include <map>
#include <vector>

#include "receiver.hpp"
#include "replay.hpp"

namespace sorvel::simulator {

class ReplayPlayer final : public Receiver {
 public:
  /// `replay` outlives the player.
  explicit ReplayPlayer(const Replay& replay) : replay_(replay) {}

  void on_open(Kit& kit) override { play(kit, replay_.on_open); }
  void on_command(Kit& kit, const Bytes& command, const CommandEnd& end) override;

 private:
  /// Plays what the recorded receiver did after a command or after being opened.
  void play(Kit& kit, const ReplayExchange& exchange);
  /// Sends `exchange`'s responses from `next` on, each at its time counted from `start`.
  void send_responses(Kit& kit, const ReplayExchange& exchange, std::size_t next,
                      std::chrono::steady_clock::time_point start);

  const Replay& replay_;
  /// How often each recorded command came.
  std::map<const std::vector<ReplayExchange>*, std::size_t> times_played_;
};

}  // namespace sorvel::simulator
