// Module pysorvel._pysorvel: attributes `Sorvel`, `Body` and `enable_log`, which the package
// pysorvel re-exports (their __module__ is the package, where users find them), and, for the
// package's tools, the private `_BODY_PARTS`, `_ReceiverNotFoundError` and
// `_ask_virtual_person`.
//
// Single-phase initialisation, once per process: the driver's runtime, logger and devices are
// process-wide, so the module is bound to the first interpreter that imports it and a repeated
// import there returns the same module object.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "bridge.hpp"
#include "heap_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/platform/platform.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace pysorvel {
namespace {

std::atomic<std::int64_t> first_interpreter{-1};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = state_of_module(module);
  Py_VISIT(state.sorvel_type);
  Py_VISIT(state.report_type);
  Py_VISIT(state.panic_exception);
  Py_VISIT(state.receiver_not_found);
  Py_VISIT(state.support_module);
  Py_VISIT(state.task_failure);
  Py_VISIT(state.body_part_names);
  Py_VISIT(state.frame_type);
  Py_VISIT(state.frame_stream_type);
  Py_VISIT(state.frame_wait_type);
  Py_VISIT(state.body_type);
  Py_VISIT(state.pose_type);
  Py_VISIT(state.location_attribute);
  Py_VISIT(state.rot_attribute);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState& state = state_of_module(module);
  Py_CLEAR(state.sorvel_type);
  Py_CLEAR(state.report_type);
  Py_CLEAR(state.panic_exception);
  Py_CLEAR(state.receiver_not_found);
  Py_CLEAR(state.support_module);
  Py_CLEAR(state.task_failure);
  Py_CLEAR(state.body_part_names);
  Py_CLEAR(state.frame_type);
  Py_CLEAR(state.frame_stream_type);
  Py_CLEAR(state.frame_wait_type);
  Py_CLEAR(state.body_type);
  Py_CLEAR(state.pose_type);
  Py_CLEAR(state.location_attribute);
  Py_CLEAR(state.rot_attribute);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "pysorvel._pysorvel",
    "Driver of the Sorvel wireless body-tracking kit.",
    sizeof(ModuleState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

bool register_shutdown_hook() {
  auto atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  auto hook = PyRef::steal(PyCFunction_New(&kShutdownHookDef, nullptr));
  if (!atexit || !hook) return false;
  return PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "(O)", hook.get())).get() !=
         nullptr;
}

/// Frames carry times on the clock of `time.monotonic_ns()`; on Windows that clock depends on
/// the interpreter's version, so ask it which one it reads.
bool use_python_monotonic_clock() {
#ifdef _WIN32
  auto time = PyRef::steal(PyImport_ImportModule("time"));
  auto info =
      time ? PyRef::steal(PyObject_CallMethod(time.get(), "get_clock_info", "s", "monotonic"))
           : PyRef();
  auto implementation =
      info ? PyRef::steal(PyObject_GetAttrString(info.get(), "implementation")) : PyRef();
  if (!implementation) return false;
  const char* name = PyUnicode_AsUTF8AndSize(implementation.get(), nullptr);
  if (name == nullptr) return false;
  sorvel::platform::monotonic_from_tick_count(std::string_view(name).starts_with("GetTickCount"));
#endif
  return true;
}

/// `_BODY_PARTS`: (code, name) of every body part in address order, for the Python tools, which
/// name trackers by code on their command lines.
bool add_body_part_codes(PyObject* module, ModuleState& state) {
  auto parts = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(sorvel::kBodyPartCount)));
  if (!parts) return false;
  for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i) {
    const auto part = static_cast<sorvel::BodyPart>(i);
    auto code = PyRef::steal(to_str(sorvel::code(part)));
    PyObject* pair = code ? PyTuple_Pack(2, code.get(), body_part_name(state, part)) : nullptr;
    if (pair == nullptr) return false;
    PyTuple_SetItem(parts.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
  }
  return PyModule_AddObjectRef(module, "_BODY_PARTS", parts.get()) == 0;
}

bool fill_module(PyObject* module) {
  ModuleState& state = state_of_module(module);
  state = ModuleState{};
  state.panic_exception =
      PyErr_NewExceptionWithDoc("pysorvel.PanicException", "An internal failure of the driver.",
                                PyExc_BaseException, nullptr);
  if (state.panic_exception == nullptr) return false;
  state.receiver_not_found = PyErr_NewExceptionWithDoc(
      "pysorvel.ReceiverNotFoundError", "No receiver is plugged in.", PyExc_OSError, nullptr);
  if (state.receiver_not_found == nullptr ||
      PyModule_AddObjectRef(module, "_ReceiverNotFoundError", state.receiver_not_found) < 0) {
    return false;
  }
  state.support_module = make_support_module();
  if (state.support_module == nullptr) return false;
  state.task_failure = PyObject_GetAttrString(state.support_module, "TaskFailure");
  if (state.task_failure == nullptr) return false;
  state.body_part_names = PyTuple_New(static_cast<Py_ssize_t>(sorvel::kBodyPartCount));
  if (state.body_part_names == nullptr) return false;
  for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i) {
    PyObject* name = to_str(sorvel::name(static_cast<sorvel::BodyPart>(i)));
    if (name == nullptr) return false;
    PyTuple_SetItem(state.body_part_names, static_cast<Py_ssize_t>(i), name);  // steals name
  }
  if (!add_body_part_codes(module, state)) return false;
  state.report_type = make_report_type(module);
  state.frame_type = make_frame_type(module);
  state.frame_stream_type = make_frame_stream_type(module);
  state.frame_wait_type = make_frame_wait_type(module);
  if (state.report_type == nullptr || state.frame_type == nullptr ||
      state.frame_stream_type == nullptr || state.frame_wait_type == nullptr ||
      !use_python_monotonic_clock()) {
    return false;
  }
  state.sorvel_type = make_sorvel_type(module);
  if (state.sorvel_type == nullptr ||
      PyModule_AddObjectRef(module, "Sorvel", state.sorvel_type) < 0) {
    return false;
  }
  state.location_attribute = PyUnicode_InternFromString("location");
  state.rot_attribute = PyUnicode_InternFromString("rot");
  state.pose_type = make_pose_type(module);
  state.body_type = make_body_type(module);
  if (state.location_attribute == nullptr || state.rot_attribute == nullptr ||
      state.pose_type == nullptr || state.body_type == nullptr ||
      PyModule_AddObjectRef(module, "Body", state.body_type) < 0) {
    return false;
  }
  auto name = PyRef::steal(PyUnicode_FromString("pysorvel"));
  auto enable_log =
      name ? PyRef::steal(PyCFunction_NewEx(&kEnableLogDef, module, name.get())) : PyRef();
  if (!enable_log || PyModule_AddObjectRef(module, "enable_log", enable_log.get()) < 0) {
    return false;
  }
  auto recorded_frame = PyRef::steal(PyCFunction_NewEx(&kRecordedFrameDef, module, name.get()));
  if (!recorded_frame || PyModule_AddObjectRef(module, "_frame", recorded_frame.get()) < 0) {
    return false;
  }
  auto ask = name ? PyRef::steal(PyCFunction_NewEx(&kAskVirtualPersonDef, module, name.get()))
                  : PyRef();
  if (!ask || PyModule_AddObjectRef(module, "_ask_virtual_person", ask.get()) < 0) return false;
  return register_shutdown_hook();
}

}  // namespace

ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState& state_of_type(PyTypeObject* type) {
  return state_of_module(PyType_GetModule(type));
}

PyObject* raise_panic(ModuleState& state, std::string_view message) {
  return raise_message(state.panic_exception, message);
}

PyObject* raise_message(PyObject* type, std::string_view message) {
  if (auto text = PyRef::steal(to_message(message))) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_panic_from_current_exception(ModuleState& state) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(state, error.what());
  } catch (...) {
    return raise_panic(state, "unknown error");
  }
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  auto name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

PyObject* raise_not_str(const char* function, const char* argument, PyObject* value) {
  auto type_name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
  if (!type_name) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %U", function, argument,
               type_name.get());
  return nullptr;
}

PyObject* body_part_name(ModuleState& state, sorvel::BodyPart part) {
  return PyTuple_GetItem(state.body_part_names, static_cast<Py_ssize_t>(part));
}

std::optional<sorvel::BodyPart> body_part_named(ModuleState& state, PyObject* name) {
  // The module's own strings (Report.location, Frame.body_part) match by identity.
  for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i) {
    if (PyTuple_GetItem(state.body_part_names, static_cast<Py_ssize_t>(i)) == name) {
      return static_cast<sorvel::BodyPart>(i);
    }
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a lone surrogate names no body part either
    return std::nullopt;
  }
  return sorvel::body_part_from_name(std::string_view(utf8, static_cast<std::size_t>(size)));
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_message(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "backslashreplace");
}

}  // namespace pysorvel

PyMODINIT_FUNC PyInit__pysorvel() {
  using namespace pysorvel;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(
        PyExc_ImportError,
        "sub-interpreters are not supported: pysorvel is bound to the main interpreter");
    return nullptr;
  }
  if (PyObject* existing = PyState_FindModule(&kModuleDef)) {
    return PyRef::borrow(existing).release();
  }
  auto module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module || !fill_module(module.get())) return nullptr;
  return module.release();
}

// The extension's file keeps the entry point it had before the package wrapped it, for loaders
// that load it by that name; it yields the same module.
PyMODINIT_FUNC PyInit_pysorvel() {
  return PyInit__pysorvel();
}
