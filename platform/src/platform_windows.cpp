#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <atomic>
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

std::atomic<bool> tick_count_clock{false};

}  // namespace

// The process's own block (GetEnvironmentVariable), not this C runtime's copy: msvcrt takes that
// copy when it loads and never sees what other code in the process sets later (Python's
// os.environ goes through the ucrt, which updates the block). Text in the ANSI code page, as the
// C runtime's file calls take paths.
std::optional<std::string> environment_variable(const char* name) {
  std::string value(64, '\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = static_cast<DWORD>(value.size());
    const DWORD length = ::GetEnvironmentVariableA(name, value.data(), size);
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set to "" by someone outside this layer
    }
    if (length < size) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // too small: `length` counts the terminator; it may grow meanwhile
  }
}

// Both the block and the C runtime's copy, so that getenv in the libraries we link agrees.
bool set_environment_variable(const char* name, const char* value) {
  if (*value == '\0') return unset_environment_variable(name);
  return ::SetEnvironmentVariableA(name, value) != 0 && ::_putenv_s(name, value) == 0;
}

bool unset_environment_variable(const char* name) {
  if (::SetEnvironmentVariableA(name, nullptr) == 0 && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return false;
  }
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

// CPython's arithmetic: ticks * 1e9 / frequency rounded down, split so that it cannot overflow.
// 3.11 and 3.12 read GetTickCount64 instead, in whole milliseconds.
std::int64_t monotonic_ns() {
  if (tick_count_clock.load(std::memory_order_relaxed)) {
    return static_cast<std::int64_t>(::GetTickCount64()) * 1'000'000;
  }
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  ::QueryPerformanceFrequency(&frequency);  // never fails from Windows XP on
  ::QueryPerformanceCounter(&counter);
  const std::int64_t f = frequency.QuadPart;
  const std::int64_t ticks = counter.QuadPart;
  return ticks / f * 1'000'000'000 + ticks % f * 1'000'000'000 / f;
}

void monotonic_from_tick_count(bool on) {
  tick_count_clock.store(on, std::memory_order_relaxed);
}

std::uint64_t process_id() {
  return ::GetCurrentProcessId();
}

bool on_fork_child(void (*)()) {
  return true;  // no fork: children start as new processes
}

}  // namespace sorvel::platform
