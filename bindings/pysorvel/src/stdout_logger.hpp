#pragma once
// The logger `enable_log` installs: one timestamped, optionally coloured line per record on
// standard output.

#include <string>

#include "sorvel/log/log.hpp"

namespace pysorvel {

class StdoutLogger final : public sorvel::log::Logger {
 public:
  /// Records above `threshold` are dropped even when the global threshold admits them.
  explicit StdoutLogger(sorvel::log::Level threshold) : threshold_(threshold) {}

  void write(const sorvel::log::Record& record) override;

 private:
  sorvel::log::Level threshold_;
};

/// `2026-03-01T09:05:07.042Z INFO  [trackers] text\n`, the level field coloured when `colour`.
/// Exposed apart from the logger so the line shape has one definition.
std::string format_line(const sorvel::log::Record& record, bool colour);

}  // namespace pysorvel
