#include "stdout_logger.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/log/colour.hpp"
#include "sorvel/platform/platform.hpp"

namespace pysorvel {
namespace {

using sorvel::log::Level;

/// Decided once, at the first line, by the environment's colour variables and whether stdout is
/// a terminal.
bool colour_enabled() {
  static const bool enabled = sorvel::log::colour_wanted(sorvel::platform::environment_variable,
                                                         sorvel::platform::stdout_is_terminal());
  return enabled;
}

std::string_view colour_code(Level level) {
  switch (level) {
    case Level::Error:
      return "31";
    case Level::Warn:
      return "33";
    case Level::Info:
      return "36";
    case Level::Debug:
      return "35";
    default:
      return {};
  }
}

/// Calendar arithmetic on system_clock, which counts UTC: no per-system calendar call needed.
std::string utc_timestamp() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     time.hours().count(), time.minutes().count(), time.seconds().count(),
                     time.subseconds().count());
}

/// Per process: a thread of the parent may have held it when the process forked.
struct StdoutLock {
  std::mutex mutex;
};

std::mutex& stdout_mutex() {
  return sorvel::runtime::per_process<StdoutLock>().mutex;
}

}  // namespace

std::string format_line(const sorvel::log::Record& record, bool colour) {
  const std::string field = fmt::format("{:<5}", sorvel::log::level_name(record.level));
  const std::string_view code = colour_code(record.level);
  const std::string_view target = record.target.empty() ? "pysorvel" : record.target;
  if (colour && !code.empty()) {
    return fmt::format("{} \x1b[{}m{}\x1b[0m [{}] {}\n", utc_timestamp(), code, field, target,
                       record.message);
  }
  return fmt::format("{} {} [{}] {}\n", utc_timestamp(), field, target, record.message);
}

void StdoutLogger::write(const sorvel::log::Record& record) {
  if (static_cast<std::uint8_t>(record.level) > static_cast<std::uint8_t>(threshold_)) return;
  try {
    const std::string line = format_line(record, colour_enabled());
    std::lock_guard lock(stdout_mutex());
    // In as few writes as the system allows (one, in practice); a closed or failing stdout drops
    // the line.
    (void)sorvel::platform::write_stdout(line);
  } catch (...) {
    // Out of memory while formatting: the line is lost, the emitting thread goes on.
  }
}

}  // namespace pysorvel
