#include "stdout_logger.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "sorvel/driver/runtime/fork.hpp"

namespace pysorvel {
namespace {

using sorvel::log::Level;

bool variable_set(const char* name) {
  return std::getenv(name) != nullptr;
}

bool variable_is_zero(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string_view(value) == "0";
}

/// Decided once: CLICOLOR_FORCE wins, then NO_COLOR, then CLICOLOR and whether stdout is a
/// terminal. A variable that is present counts as set, even when empty.
bool colour_enabled() {
  static const bool enabled = [] {
    if (variable_set("CLICOLOR_FORCE") && !variable_is_zero("CLICOLOR_FORCE")) return true;
    if (variable_set("NO_COLOR")) return false;
    return !variable_is_zero("CLICOLOR") && isatty(STDOUT_FILENO) == 1;
  }();
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

/// Calendar arithmetic rather than gmtime_r, which Windows lacks; system_clock counts UTC.
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

/// Writes all of `line` to fd 1 in as few writes as the kernel allows (one, in practice).
/// A closed or failing stdout drops the line.
void write_stdout(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    line.remove_prefix(static_cast<std::size_t>(written));
  }
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
    write_stdout(line);
  } catch (...) {
    // Out of memory while formatting: the line is lost, the emitting thread goes on.
  }
}

}  // namespace pysorvel
