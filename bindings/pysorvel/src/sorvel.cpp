// class Sorvel:
//     def __init__(self) -> None
//     def status(self) -> str
//     def connect(self, group: str) -> asyncio.Future[None]
//     def start(self) -> asyncio.Future[None]
//     def poll(self) -> list[tuple[Report, bool]]
//     def frames(self, buffer: int = 4096) -> FrameStream
//     def lost_trackers(self) -> list[str]
//
// One opened receiver. The object holds the driver handle and what polls keep between them (the
// Reports last shown); connect and start hand their own clone of the handle to the runtime, so
// they may finish after the object is gone.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "bridge.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "report_cache.hpp"
#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/simulator/virtual_kit.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace pysorvel {
namespace {

using sorvel::BodyPart;
using sorvel::Driver;
using sorvel::DriverResult;

struct SorvelObject {
  PyObject_HEAD std::shared_ptr<Driver> driver;
  std::uint64_t generation;  ///< the process generation that opened the receiver
  ReportCache reports;       ///< what polls keep between them
};

SorvelObject* as_sorvel(PyObject* self) {
  return reinterpret_cast<SorvelObject*>(self);
}

/// Made before a fork and reached in the child: the receiver, its transfers and the threads
/// serving them belong to the parent.
bool inherited(PyObject* self) {
  return as_sorvel(self)->generation != sorvel::runtime::process_generation();
}

/// The object's driver, or nullptr with PanicException set when it was inherited.
Driver* driver_of(ModuleState& state, PyObject* self) {
  if (inherited(self)) {
    raise_panic(state, "this Sorvel was opened by the parent process; open a new one here");
    return nullptr;
  }
  return as_sorvel(self)->driver.get();
}

/// Checked while the constructor waits: Ctrl-C must not wait for the receiver's time-out.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};
/// How long an interrupted open waits for the receiver it had begun to open to be released.
constexpr std::chrono::milliseconds kReleaseWait{1000};

ModuleState& state_of(PyObject* self) {
  return state_of_type(Py_TYPE(self));
}

/// Raises OSError(code, message) so Python picks the subclass of the errno (PermissionError...).
PyObject* raise_os_error(const sorvel::SystemError& error) {
  auto exception =
      PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is#", error.code, error.message.data(),
                                         static_cast<Py_ssize_t>(error.message.size())));
  if (exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  }
  return nullptr;
}

/// A capture that cannot be made: OSError(errno, text, path) when the system gave an errno, so
/// Python picks the subclass and appends the path; otherwise OSError("text: 'path'") (a filename
/// attribute would turn that text into "[Errno None] None: 'path'").
PyObject* raise_capture_error(const sorvel::usb::CaptureError& error) {
  auto path = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  if (!path) return nullptr;
  const std::string text = std::string(sorvel::usb::kCaptureFailure) + ": " + error.cause;
  PyRef exception;
  if (error.code != 0) {
    exception =
        PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is#O", error.code, text.data(),
                                           static_cast<Py_ssize_t>(text.size()), path.get()));
  } else {
    auto message = PyRef::steal(PyUnicode_FromFormat("%s: %R", text.c_str(), path.get()));
    if (!message) return nullptr;
    exception = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, message.get(), nullptr));
  }
  if (exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  }
  return nullptr;
}

PyObject* sorvel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of_type(type);
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Sorvel() takes no arguments");
    return nullptr;
  }
  try {
    auto backend = sorvel::simulator::backend_from_environment();
    if (!backend) {
      if (auto text = PyRef::steal(to_str(backend.error()))) {
        PyErr_SetObject(PyExc_OSError, text.get());
      }
      return nullptr;
    }
    auto device = sorvel::open_receiver(**backend);
    if (!device) {
      if (const auto* error = std::get_if<sorvel::SystemError>(&device.error())) {
        return raise_os_error(*error);
      }
      if (const auto* error = std::get_if<sorvel::usb::CaptureError>(&device.error())) {
        return raise_capture_error(*error);
      }
      PyErr_SetString(PyExc_OSError, "Receiver not found");
      return nullptr;
    }
    // The interpreter lock stays held: nothing Host::open runs needs it. Signal handlers run
    // while it waits; one that raises (Ctrl-C) abandons the open, the receiver released.
    auto waited =
        sorvel::runtime::block_on_unless(Driver::open(std::move(*device)), kSignalCheckInterval,
                                         [] { return PyErr_CheckSignals() < 0; });
    if (!waited) {
      (void)sorvel::UsbSession::wait_for_releases(kReleaseWait);
      return nullptr;  // the handler's exception is set
    }
    auto& opened = *waited;
    if (!opened) return raise_panic(state, opened.error().message);
    if (!*opened) return raise_panic(state, "Failed to open the host: " + opened->error().debug());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_sorvel(self)->driver) std::shared_ptr<Driver>(std::move(**opened));
    as_sorvel(self)->generation = sorvel::runtime::process_generation();
    new (&as_sorvel(self)->reports) ReportCache();
    return self;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

void sorvel_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Holds Python objects and a tracker set only, never the receiver: released either way.
  as_sorvel(self)->reports.~ReportCache();
  // An inherited handle is abandoned, not closed: closing would cancel the parent's transfers
  // and wait for threads that do not exist here. It is leaked on purpose.
  if (!inherited(self)) {
    std::shared_ptr<Driver> driver = std::move(as_sorvel(self)->driver);
    as_sorvel(self)->driver.~shared_ptr();
    // Frame streams end with the object, even while a connect or start still holds the host.
    driver->host()->frames()->end(sorvel::FrameStreamEnd::Closed);
    // The last handle waits for the USB readers to stop; they never need the lock.
    Py_BEGIN_ALLOW_THREADS driver.reset();
    Py_END_ALLOW_THREADS
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* sorvel_status(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    auto status = driver->status();
    if (!status) return raise_panic(state, status.error().message);
    return to_str(sorvel::status_text(*status));
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

/// "LLA, RLA" -> [LeftLowerArm, RightLowerArm]; pieces are trimmed with str.strip(), so any
/// Unicode white space goes. Nothing is sorted or de-duplicated. False with PanicException (or
/// a Python error) set when a piece is not a code.
bool parse_group(ModuleState& state, PyObject* group, std::vector<BodyPart>& parts) {
  auto comma = PyRef::steal(to_str(","));
  if (!comma) return false;
  auto pieces = PyRef::steal(PyUnicode_Split(group, comma.get(), -1));
  if (!pieces) return false;
  const Py_ssize_t count = PyList_Size(pieces.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto trimmed =
        PyRef::steal(PyObject_CallMethod(PyList_GetItem(pieces.get(), i), "strip", nullptr));
    if (!trimmed) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(trimmed.get(), &size);
    // A lone surrogate has no UTF-8 form, and is no code either.
    if (utf8 == nullptr && !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    const auto part =
        utf8 == nullptr
            ? std::nullopt
            : sorvel::body_part_from_code(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!part) {
      raise_panic(state, "Unexpected point expression");
      return false;
    }
    parts.push_back(*part);
  }
  return true;
}

// Coroutines take the handle as a parameter so the frame owns its clone from the start.
asio::awaitable<DriverResult<void>> run_connect(std::shared_ptr<Driver> driver,
                                                std::vector<BodyPart> group) {
  co_return co_await driver->connect(std::move(group));
}

asio::awaitable<DriverResult<void>> run_start(std::shared_ptr<Driver> driver) {
  co_return co_await driver->start();
}

PyObject* sorvel_connect(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of(self);
  static const char* keywords[] = {"group", nullptr};
  PyObject* group = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:connect", const_cast<char**>(keywords),
                                   &group)) {
    return nullptr;
  }
  if (!PyUnicode_Check(group)) return raise_not_str("connect", "group", group);
  try {
    std::vector<BodyPart> parts;
    if (!parse_group(state, group, parts)) return nullptr;
    if (driver_of(state, self) == nullptr) return nullptr;
    return bridge(state, run_connect(as_sorvel(self)->driver, std::move(parts)));
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* sorvel_start(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    if (driver_of(state, self) == nullptr) return nullptr;
    return bridge(state, run_start(as_sorvel(self)->driver));
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* sorvel_poll(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    return as_sorvel(self)->reports.poll(state, PyType_GetModule(Py_TYPE(self)), *driver);
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* sorvel_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of(self);
  static const char* keywords[] = {"buffer", nullptr};
  Py_ssize_t buffer = 4096;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|n:frames", const_cast<char**>(keywords),
                                   &buffer)) {
    return nullptr;
  }
  if (buffer < 1) {
    PyErr_Format(PyExc_ValueError, "frames() buffer must be at least 1, not %zd", buffer);
    return nullptr;
  }
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    return new_frame_stream(state, *driver->host()->frames(), static_cast<std::size_t>(buffer));
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* sorvel_lost_trackers(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    const std::vector<BodyPart> lost = driver->lost_trackers();
    auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(lost.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < lost.size(); ++i) {
      // The module's own name strings, as Frame.body_part hands out.
      PyObject* name = PyRef::borrow(body_part_name(state, lost[i])).release();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);  // steals name
    }
    return list.release();
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyMethodDef kMethods[] = {
    {"status", sorvel_status, METH_NOARGS, "status($self)\n--\n\n"},
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sorvel_connect)),
     METH_VARARGS | METH_KEYWORDS,
     "connect($self, group)\n--\n\nThis function will automatically connected to a recognized "
     "receiver."},
    {"start", sorvel_start, METH_NOARGS,
     "start($self)\n--\n\nStart data collecting, you can only invoke this function when "
     "connected."},
    {"poll", sorvel_poll, METH_NOARGS,
     "poll($self)\n--\n\nPoll one frame from the sensor report buffer, you can only call this "
     "function after\ndata collection is started"},
    {"frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sorvel_frames)),
     METH_VARARGS | METH_KEYWORDS,
     "frames($self, buffer=4096)\n--\n\nEvery frame received from now on, in arrival order, "
     "with room for `buffer` frames\nthat have not been taken yet; the oldest are dropped "
     "first."},
    {"lost_trackers", sorvel_lost_trackers, METH_NOARGS,
     "lost_trackers($self)\n--\n\nThe paired trackers the receiver reported lost and has not "
     "reported back since, by body part."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Sorvel()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(sorvel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sorvel_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Sorvel",
    sizeof(SorvelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* make_sorvel_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace pysorvel
