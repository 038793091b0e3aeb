#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "sorvel/platform/platform.hpp"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // older SDK headers lack it
#endif

namespace sorvel::platform {
namespace {

/// The standard output handle when it is a console, with its mode; nullptr otherwise.
HANDLE console_output(DWORD& mode) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return nullptr;
  return ::GetConsoleMode(out, &mode) != 0 ? out : nullptr;
}

}  // namespace

// The C runtime's environment, not the process block alone: it is what std::getenv reads, and
// _putenv_s updates both.
std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool set_environment_variable(const char* name, const char* value) {
  return ::_putenv_s(name, value) == 0;
}

bool unset_environment_variable(const char* name) {
  return ::_putenv_s(name, "") == 0;
}

// A console, not _isatty: that is true for every character device, NUL included.
bool stdout_is_terminal() {
  DWORD mode = 0;
  return console_output(mode) != nullptr;
}

bool enable_virtual_terminal_output() {
  DWORD mode = 0;
  HANDLE out = console_output(mode);
  if (out == nullptr) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool write_stdout(std::string_view text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  while (!text.empty()) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    DWORD written = 0;
    if (::WriteFile(out, text.data(), wanted, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    text.remove_prefix(written);
  }
  return true;
}

std::uint64_t process_id() {
  return ::GetCurrentProcessId();
}

bool on_fork_child(void (*)()) {
  return true;  // no fork: children start as new processes
}

}  // namespace sorvel::platform
