#pragma once
// Handing a driver computation to the background runtime and returning an asyncio future for it.

#include <Python.h>

#include <atomic>
#include <memory>

#include <asio/awaitable.hpp>

#include "module_state.hpp"
#include "sorvel/driver/driver_error.hpp"

namespace pysorvel {

/// Returns a new future of the calling thread's running loop that receives None, or TypeError
/// with the error's message, or the support module's failure class when the computation failed
/// internally. Without a running loop, asyncio's RuntimeError is raised and nothing is spawned.
/// Cancelling the future drops the computation at its current waiting point.
/// Thread safety: a Python thread holding the interpreter lock.
PyObject* bridge(ModuleState& state, asio::awaitable<sorvel::DriverResult<void>> computation);

struct Job;

/// Wakes an asyncio task from any thread: the task awaits a future made by `wait`, and `fire`
/// has the delivery thread resolve it with None on its loop. The firing thread never touches
/// Python, so a driver thread may fire without waiting for the interpreter lock.
class LoopWaker {
 public:
  LoopWaker();
  LoopWaker(const LoopWaker&) = delete;
  LoopWaker& operator=(const LoopWaker&) = delete;
  /// The Python references of a waiter still set are left to leak: the lock may not be held
  /// here. `clear` first.
  ~LoopWaker();

  /// A new future of the calling thread's running loop that the next `fire` resolves; it
  /// replaces a waiter not fired yet (whose future stays pending). Null with an exception set
  /// when no loop runs. Makes all that the delivery will need (the delivery thread included),
  /// so that firing cannot fail; throws if that cannot be made.
  /// Thread safety: a Python thread holding the interpreter lock.
  PyObject* wait();
  /// Resolves the current waiter's future, if there is one. Takes no lock, allocates nothing
  /// and never blocks on Python, so it may run in a USB callback or a destructor.
  /// Thread safety: any thread.
  void fire() noexcept;
  /// Lets the current waiter go unresolved. Thread safety: with the interpreter lock.
  void clear();

 private:
  std::atomic<Job*> waiter_{nullptr};  ///< owned; taken whole by whoever fires or clears
};

/// Registered with `atexit`: from then on no worker touches Python; waits for deliveries that
/// already hold or wait for the interpreter lock.
extern PyMethodDef kShutdownHookDef;

/// The bridge's support module with its failure class; new reference or null.
PyObject* make_support_module();

}  // namespace pysorvel
