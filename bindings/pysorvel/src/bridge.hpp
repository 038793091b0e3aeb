#pragma once
// Handing a driver computation to the background runtime and returning an asyncio future for it.

#include <Python.h>

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

/// Registered with `atexit`: from then on no worker touches Python; waits for deliveries that
/// already hold or wait for the interpreter lock.
extern PyMethodDef kShutdownHookDef;

/// The bridge's support module with its failure class; new reference or null.
PyObject* make_support_module();

}  // namespace pysorvel
