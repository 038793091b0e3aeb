#include "report_pacer.hpp"

namespace sorvel::simulator {

bool ReportPacer::queue_scripted(const TransferList& transfers, std::chrono::microseconds interval,
                                 std::span<const std::chrono::microseconds> times,
                                 Clock::time_point now) {
  runs_.push_back({&transfers, 0, 0, interval, times, {}});
  if (runs_.size() != 1) return false;
  start_front(now);
  return true;
}

void ReportPacer::start_front(Clock::time_point now) {
  ScriptedRun& run = runs_.front();
  run.start = now;
  run.released = run.paced() ? 0 : run.transfers->size();
  release_due(now);
}

bool ReportPacer::release_due(Clock::time_point now) {
  if (runs_.empty()) return false;
  ScriptedRun& run = runs_.front();
  const std::size_t before = run.released;
  while (run.released < run.transfers->size() && run.due(run.released) <= now) ++run.released;
  return run.released != before;
}

std::optional<ReportPacer::Clock::time_point> ReportPacer::next_release() const {
  if (runs_.empty()) return std::nullopt;
  const ScriptedRun& run = runs_.front();
  if (run.released == run.transfers->size()) return std::nullopt;
  return run.due(run.released);
}

std::size_t ReportPacer::backlog() const {
  std::size_t backlog = generated_.size();
  for (const ScriptedRun& run : runs_) backlog += run.transfers->size() - run.next;
  return backlog;
}

void ReportPacer::clear() {
  runs_.clear();
  generated_.clear();
}

}  // namespace sorvel::simulator
