#include "sorvel/log/capture.hpp"

#include <cstdlib>

namespace sorvel::log {

void CapturingLogger::write(const Record& record) {
  std::lock_guard lock(mutex_);
  records_.push_back({record.level, std::string(record.target), std::string(record.message)});
}

std::vector<CapturedRecord> CapturingLogger::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> CapturingLogger::messages(std::string_view target) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& record : records_) {
    if (record.target == target) out.push_back(record.message);
  }
  return out;
}

void CapturingLogger::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

CapturingLogger& capture() {
  static CapturingLogger* const logger = [] {
    auto owned = std::make_unique<CapturingLogger>();
    CapturingLogger* raw = owned.get();
    if (!install(std::move(owned))) std::abort();  // another logger owns this process
    set_threshold(Level::Trace);
    return raw;
  }();
  return *logger;
}

}  // namespace sorvel::log
