#pragma once
// What a test can see of a virtual kit from outside the USB boundary.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvel::simulator {

struct KitState {
  bool present = false;                             ///< plugged in (not unplugged)
  std::vector<std::uint8_t> claimed_interfaces;     ///< interface numbers currently claimed
  std::size_t pending_transfers = 0;                ///< submitted and not completed
  std::vector<std::vector<std::uint8_t>> commands;  ///< every OUT transfer on 0x01, in order
  bool streaming = false;                           ///< Go received and not stopped
  std::size_t pending_report_reads = 0;             ///< IN transfers waiting on 0x81
  std::size_t report_backlog = 0;  ///< report bytes and scripted transfers not yet delivered
  std::size_t report_transfers_delivered = 0;  ///< IN transfers on 0x81 completed with data
  std::size_t reports_dropped = 0;  ///< generated reports lost to a full backlog, nobody reading
  /// "claim N", "release N" and each command's name, in the order they happened.
  std::vector<std::string> history;
};

}  // namespace sorvel::simulator
