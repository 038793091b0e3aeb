#pragma once
// The operating-system calls of the core, outside files: everything else in the tree reaches the
// system through here or through the C++ standard library. POSIX in platform_posix.cpp, Windows
// in platform_windows.cpp.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorvel::platform {

/// The value of the environment variable `name`, or nullopt when it is not set. A variable set
/// to the empty string is present: "" (on Windows only when set so by other code; see
/// `set_environment_variable`). On Windows it is read from the process's environment block, so
/// what any C runtime or language runtime in the process set is seen.
/// Thread safety: not against a concurrent set or unset of any variable.
std::optional<std::string> environment_variable(const char* name);

/// Sets `name` to `value`, replacing any value it had; returns false when the system refused.
/// On Windows an empty `value` removes the variable, as the C runtime's _putenv_s does: the
/// environment there cannot hold an empty value, so read it back as unset.
/// Thread safety: none; for start-up code and tests.
bool set_environment_variable(const char* name, const char* value);

/// Removes `name` from the environment (nothing to do when unset); false when the system refused.
/// Thread safety: none; for start-up code and tests.
bool unset_environment_variable(const char* name);

/// Whether standard output is a terminal (on Windows: a console).
bool stdout_is_terminal();

/// Makes a terminal standard output act on ANSI escape sequences (colours); true when it does.
/// POSIX terminals always do. On Windows the console's virtual terminal mode is switched on,
/// which fails on consoles too old to have it or when standard output is no console.
bool enable_virtual_terminal_output();

/// Writes all of `text` to the process's standard output (fd 1 / the standard output handle),
/// bypassing every buffer of C and C++ streams; retries after interruptions and short writes.
/// Returns false when the output failed (closed, full); what was written stays written.
/// Thread safety: any thread; concurrent calls may interleave their text.
bool write_stdout(std::string_view text);

/// Nanoseconds of the clock Python's `time.monotonic_ns()` reads, with the same origin and
/// rounding, so that times taken here compare with times taken there: CLOCK_MONOTONIC on POSIX;
/// on Windows QueryPerformanceCounter, or GetTickCount64 once `monotonic_from_tick_count` is set
/// (the interpreters before 3.13 read that one).
/// Thread safety: any thread.
std::int64_t monotonic_ns();

/// Windows only: makes `monotonic_ns` read GetTickCount64, as the running interpreter's
/// `time.monotonic` does (time.get_clock_info says which). Elsewhere it does nothing.
/// Thread safety: any thread; set it before any time is taken.
void monotonic_from_tick_count(bool on);

/// This process's id, as the system's tools show it.
std::uint64_t process_id();

/// Registers `handler` to run in the child right after every fork(), before fork() returns there,
/// in registration order. Returns false when it could not be registered. Windows has no fork
/// (children start as new processes), so there it does nothing and returns true.
/// Thread safety: any thread.
bool on_fork_child(void (*handler)());

}  // namespace sorvel::platform
