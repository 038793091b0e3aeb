#pragma once
// Children made by fork(). Only the forking thread lives on in a child: the runtime's workers,
// the USB event thread, the simulator's thread and whatever they were driving are gone, and a
// lock one of them held stays locked. Process-wide objects therefore register a handler that
// forgets them in the child (they are leaked there, never touched), and the child builds its
// own on first use. Objects made before the fork remember the generation they were made in.

#include <cstdint>

namespace sorvel::runtime {

/// Registers `forget` to run in every child right after fork(), before fork() returns there,
/// with no other thread alive: it may only reset pointers, flags and locks.
/// Thread safety: any thread; usually called once per object from its first use.
void on_fork_child(void (*forget)());

/// The process's one `T`, made on first use and never destroyed (threads may still use it while
/// the process exits). A forked child gets a new one, its parent's leaked; since that is made
/// in the fork handler, `T`'s constructor must only initialise memory (no threads, no I/O).
/// Thread safety: any thread.
template <typename T>
T& per_process() {
  static T* instance = [] {
    on_fork_child([] { instance = new T(); });
    return new T();
  }();
  return *instance;
}

/// This process's generation: 0 in the process that loaded the driver, one more in each child
/// forked since. An object whose generation differs was inherited from a parent.
std::uint64_t process_generation() noexcept;

}  // namespace sorvel::runtime
