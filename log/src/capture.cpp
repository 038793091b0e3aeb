#include "sorvel/log/capture.hpp"

#include <cstdlib>

namespace sorvel::log {

void CapturingLogger::write(const Record& record) {
  CapturedRecord captured{record.level, std::string(record.target), std::string(record.message)};
  std::shared_ptr<const std::function<void(const CapturedRecord&)>> hook;
  {
    std::lock_guard lock(mutex_);
    records_.push_back(captured);
    hook = hook_;
  }
  if (hook) (*hook)(captured);
}

void CapturingLogger::on_write(std::function<void(const CapturedRecord&)> hook) {
  auto shared = std::make_shared<const std::function<void(const CapturedRecord&)>>(std::move(hook));
  std::lock_guard lock(mutex_);
  hook_ = std::move(shared);
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
  hook_.reset();
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
