#pragma once
// A USB capture of a receiver, read back as what the receiver said after each command: the
// virtual kit plays it to the host as a recorded receiver. Commands are told apart by their
// bytes and by how often they were sent before; what followed the n-th one is the answer to the
// n-th one again, with its recorded timing relative to the command.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sorvel/protocol/expected.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

/// What the receiver did after one command (or after being opened), times counted from it.
struct ReplayExchange {
  struct Response {
    std::chrono::microseconds at{0};
    Bytes bytes;
  };
  std::vector<Response> responses;  ///< IN transfers of the response endpoint, in order
  TransferList reports;             ///< IN transfers of the report endpoint, in order
  /// When each report transfer completed; empty: all at once, as fast as the host reads them.
  std::vector<std::chrono::microseconds> report_times;
  std::optional<std::chrono::microseconds> unplug_at;  ///< the receiver went away then
};

/// Orders commands by length, then bytes: any order will do for finding them again. (The
/// standard vector order trips GCC 12's -Wstringop-overread at -O3.)
struct CommandOrder {
  bool operator()(const Bytes& a, const Bytes& b) const {
    if (a.size() != b.size()) return a.size() < b.size();
    return std::lexicographical_compare(a.data(), a.data() + a.size(), b.data(),
                                        b.data() + b.size());
  }
};

struct Replay {
  ReplayExchange on_open;  ///< what came before the first command
  /// Per command's bytes, what followed each time it was sent, in the order it was sent.
  std::map<Bytes, std::vector<ReplayExchange>, CommandOrder> by_command;
};

/// The pcap file magic numbers of the formats `read_capture` takes, either byte order.
bool looks_like_capture(std::span<const std::uint8_t> head);

/// The slowest replay speed above 0. A receiver answers a command within a few milliseconds;
/// a thousand times slower that is a few seconds, about the host's shortest time-out (3 s), so
/// any slower and every command of a replay times out before its recorded answer comes. It also
/// keeps a day-long capture's times within the replay clock's range.
inline constexpr double kSlowestReplaySpeed = 0.001;

/// Reads a usbmon pcap of one receiver. `speed` divides the recorded times; 0 drops them
/// (everything as fast as the host takes it). The error says what is wrong and where.
Expected<Replay, std::string> read_capture(std::span<const std::uint8_t> file, double speed);

/// Captures are a few hundred bytes per transfer: an hour of a full kit stays under this.
inline constexpr std::size_t kMaxCaptureFileBytes = std::size_t{1} << 30;

}  // namespace sorvel::simulator
