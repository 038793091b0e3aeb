#pragma once
// A logger that keeps every record, for tests that assert exact log lines.

#include <mutex>
#include <string>
#include <vector>

#include "sorvel/log/log.hpp"

namespace sorvel::log {

struct CapturedRecord {
  Level level;
  std::string target;
  std::string message;
  bool operator==(const CapturedRecord&) const = default;
};

class CapturingLogger final : public Logger {
 public:
  void write(const Record& record) override;

  std::vector<CapturedRecord> records() const;
  /// Messages of the records with this target, in emission order.
  std::vector<std::string> messages(std::string_view target) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedRecord> records_;
};

/// The capturing logger of this test process: installed on first use with the threshold at
/// Trace, so that every record reaches it. Tests call `clear()` first.
CapturingLogger& capture();

}  // namespace sorvel::log
