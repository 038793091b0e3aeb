#include "sorvel/log/log.hpp"

#include <array>

#include <fmt/format.h>

namespace sorvel::log {

namespace detail {
std::atomic<Level> g_threshold{Level::Off};
namespace {
std::atomic<Logger*> g_logger{nullptr};
}  // namespace

void dispatch(Level level, std::string_view target, fmt::string_view format,
              fmt::format_args args) {
  Logger* logger = g_logger.load(std::memory_order_acquire);
  if (logger == nullptr) return;
  fmt::memory_buffer message;
  fmt::vformat_to(std::back_inserter(message), format, args);
  logger->write(Record{level, target, std::string_view(message.data(), message.size())});
}
}  // namespace detail

std::string_view level_name(Level level) {
  static constexpr std::array<std::string_view, 6> kNames{"OFF",  "ERROR", "WARN",
                                                          "INFO", "DEBUG", "TRACE"};
  return kNames.at(static_cast<std::size_t>(level));
}

void set_threshold(Level level) {
  detail::g_threshold.store(level, std::memory_order_relaxed);
}

bool install(std::unique_ptr<Logger> logger) {
  Logger* expected = nullptr;
  if (!detail::g_logger.compare_exchange_strong(expected, logger.get(),
                                                std::memory_order_acq_rel)) {
    return false;
  }
  logger.release();  // lives until the process ends, like the records' readers expect
  return true;
}

Logger* installed() {
  return detail::g_logger.load(std::memory_order_acquire);
}

}  // namespace sorvel::log
