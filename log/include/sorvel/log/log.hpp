#pragma once
// Process-wide logging facade. Every emitting site checks one atomic threshold before it
// formats anything, then hands the record to the one installed logger, if any.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include <fmt/core.h>

namespace sorvel::log {

/// Most to least severe; `Off` admits nothing.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

/// "ERROR", "WARN", "INFO", "DEBUG", "TRACE" ("OFF" for Off).
std::string_view level_name(Level level);

/// Log targets, the emitting module's path.
inline constexpr std::string_view kHostTarget = "sorvel_driver::host";
inline constexpr std::string_view kUsbTarget = "sorvel_driver::host::usb";
inline constexpr std::string_view kTrackersTarget = "trackers";

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
};

/// Receives every record that passed the global threshold.
/// Thread safety: `write` is called from any thread, concurrently.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void write(const Record& record) = 0;
};

namespace detail {
extern std::atomic<Level> g_threshold;
void dispatch(Level level, std::string_view target, fmt::string_view format, fmt::format_args args);
}  // namespace detail

/// The global threshold, initially Off.
inline Level threshold() {
  return detail::g_threshold.load(std::memory_order_relaxed);
}
void set_threshold(Level level);

/// True when a record of `level` would be formatted and delivered.
inline bool enabled(Level level) {
  return level != Level::Off &&
         static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(threshold());
}

/// Installs the process's logger. Only the first call succeeds; later ones return false and
/// drop their logger. The installed logger lives until the process ends.
bool install(std::unique_ptr<Logger> logger);

/// The installed logger, or null.
Logger* installed();

template <typename... Args>
void log(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  if (!enabled(level)) return;
  detail::dispatch(level, target, format, fmt::make_format_args(args...));
}

template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log(Level::Error, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log(Level::Warn, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log(Level::Info, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log(Level::Debug, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void trace(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log(Level::Trace, target, format, std::forward<Args>(args)...);
}

}  // namespace sorvel::log
