#include "replay_player.hpp"

#include <algorithm>

#include "command_names.hpp"
#include "kit.hpp"

namespace sorvel::simulator {

void ReplayPlayer::on_command(Kit& kit, const Bytes& command, const CommandEnd& end) {
  if (auto decoded = protocol::decode_command(command)) {
    kit.record_locked(std::string(command_name(*decoded)));
  }
  // The n-th time a command comes it gets what followed its n-th time in the recording; past
  // those, what followed the last. A command never recorded gets nothing.
  if (auto recorded = replay_.by_command.find(command); recorded != replay_.by_command.end()) {
    const std::size_t n = times_played_[&recorded->second]++;
    play(kit, recorded->second[std::min(n, recorded->second.size() - 1)]);
  }
  end(false);
}

void ReplayPlayer::play(Kit& kit, const ReplayExchange& exchange) {
  // The replay lives as long as the kit: its transfers are sent from where they lie.
  send_responses(kit, exchange, 0, std::chrono::steady_clock::now());
  kit.queue_report_transfers_locked(exchange.reports, std::chrono::microseconds(0),
                                    exchange.report_times);
  // The recorded receiver went away after the host had read what it sent; read as fast as it
  // is replayed, that may take a moment longer.
  if (exchange.unplug_at) {
    kit.schedule(*exchange.unplug_at, [](Kit& k) { k.unplug_once_sent_locked(); });
  }
}

void ReplayPlayer::send_responses(Kit& kit, const ReplayExchange& exchange, std::size_t next,
                                  std::chrono::steady_clock::time_point start) {
  // One timer at a time, for the next one due: responses keep their recorded order even when
  // they were recorded in the same microsecond.
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  for (; next < exchange.responses.size() && exchange.responses[next].at <= elapsed; ++next) {
    kit.queue_response_locked(exchange.responses[next].bytes);
  }
  if (next == exchange.responses.size() || kit.unplugged_locked()) return;
  kit.schedule(exchange.responses[next].at - elapsed, [this, &exchange, next, start](Kit& k) {
    send_responses(k, exchange, next, start);
  });
}

}  // namespace sorvel::simulator
