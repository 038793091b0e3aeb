#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "sorvel/platform/platform.hpp"

namespace sorvel::platform {

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool set_environment_variable(const char* name, const char* value) {
  return ::setenv(name, value, 1) == 0;
}

bool unset_environment_variable(const char* name) {
  return ::unsetenv(name) == 0;
}

bool stdout_is_terminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

bool enable_virtual_terminal_output() {
  return true;  // terminals act on escape sequences themselves
}

std::int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void monotonic_from_tick_count(bool) {}

bool write_stdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::uint64_t process_id() {
  return static_cast<std::uint64_t>(::getpid());
}

bool on_fork_child(void (*handler)()) {
  return ::pthread_atfork(nullptr, nullptr, handler) == 0;
}

}  // namespace sorvel::platform
