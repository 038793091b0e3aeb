#pragma once
// A logger that keeps every record, for tests that assert exact log lines.

#include <functional>
#include <memory>
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
  /// Clears the records and the hook.
  void clear();
  /// Has every record from now on also handed to `hook`, on the logging thread and outside the
  /// logger's own lock, as a logger that blocks or waits for others would be.
  void on_write(std::function<void(const CapturedRecord&)> hook);

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedRecord> records_;
  std::shared_ptr<const std::function<void(const CapturedRecord&)>> hook_;
};

/// The capturing logger of this test process: installed on first use with the threshold at
/// Trace, so that every record reaches it. Tests call `clear()` first.
CapturingLogger& capture();

}  // namespace sorvel::log
