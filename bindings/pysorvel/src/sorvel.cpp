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
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "bridge.hpp"
#include "heap_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "report_cache.hpp"
#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/simulator/virtual_kit.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/frame_stream.hpp"

namespace pysorvel {
namespace {

using sorvel::BodyPart;
using sorvel::Driver;
using sorvel::DriverResult;

struct SorvelFields {
  explicit SorvelFields(std::shared_ptr<Driver> driver) : driver(std::move(driver)) {}
  SorvelFields(const SorvelFields&) = delete;
  SorvelFields& operator=(const SorvelFields&) = delete;
  ~SorvelFields();

  std::shared_ptr<Driver> driver;
  std::uint64_t generation = sorvel::runtime::process_generation();  ///< that opened it
  ReportCache reports;  ///< what polls keep between them
};

SorvelFields::~SorvelFields() {
  // An inherited handle is abandoned, not closed: closing would cancel the parent's transfers
  // and wait for threads that do not exist here. It is leaked on purpose.
  if (generation != sorvel::runtime::process_generation()) {
    (void)new std::shared_ptr<Driver>(std::move(driver));
    return;
  }
  // Frame streams end with the object, even while a connect or start still holds the host.
  driver->host()->frames()->end(sorvel::FrameStreamEnd::Closed);
  // The last handle waits for the USB readers to stop; they never need the lock.
  Py_BEGIN_ALLOW_THREADS driver.reset();
  Py_END_ALLOW_THREADS
}

SorvelFields* as_sorvel(PyObject* self) {
  return &value_of<SorvelFields>(self);
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

/// Raises `exception`, already made, as what it is (OSError picks the subclass of its errno).
PyObject* raise_made(PyRef exception) {
  if (exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  }
  return nullptr;
}

/// Raises OSError(code, message) so Python picks the subclass of the errno (PermissionError...).
PyObject* raise_os_error(const sorvel::SystemError& error) {
  auto message = PyRef::steal(to_message(error.message));
  if (!message) return nullptr;
  return raise_made(
      PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", error.code, message.get())));
}

/// A capture that cannot be made: OSError(errno, text, path) when the system gave an errno, so
/// Python picks the subclass and appends the path; otherwise OSError("text: 'path'") (a filename
/// attribute would turn that text into "[Errno None] None: 'path'"). The path reads as
/// os.fsdecode reads it.
PyObject* raise_capture_error(const sorvel::usb::CaptureError& error) {
  auto path = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  auto text =
      PyRef::steal(to_message(std::string(sorvel::usb::kCaptureFailure) + ": " + error.cause));
  if (!path || !text) return nullptr;
  if (error.code != 0) {
    return raise_made(PyRef::steal(
        PyObject_CallFunction(PyExc_OSError, "iOO", error.code, text.get(), path.get())));
  }
  auto message = PyRef::steal(PyUnicode_FromFormat("%U: %R", text.get(), path.get()));
  if (!message) return nullptr;
  return raise_made(
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, message.get(), nullptr)));
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
      return raise_message(PyExc_OSError, backend.error());
    }
    auto device = sorvel::open_receiver(**backend);
    if (!device) {
      if (const auto* error = std::get_if<sorvel::SystemError>(&device.error())) {
        return raise_os_error(*error);
      }
      if (const auto* error = std::get_if<sorvel::usb::CaptureError>(&device.error())) {
        return raise_capture_error(*error);
      }
      PyErr_SetString(state.receiver_not_found, "Receiver not found");
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

    return new_instance<SorvelFields>(reinterpret_cast<PyObject*>(type), std::move(**opened));
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
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
    return as_sorvel(self)->reports.poll(state, *driver);
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

/// The ring size `frames()` was asked for: 1 to FrameStreams::kMaxCapacity. False with an
/// exception set otherwise; a value beyond what a C integer holds is out of range too.
bool parse_buffer(PyObject* given, std::size_t& buffer) {
  auto index = PyRef::steal(PyNumber_Index(given));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_Format(PyExc_ValueError, "frames() buffer must be at least 1, not %R", index.get());
    return false;
  }
  constexpr std::size_t kMax = sorvel::FrameStreams::kMaxCapacity;
  if (overflow > 0 || static_cast<unsigned long long>(value) > kMax) {
    PyErr_Format(PyExc_ValueError, "frames() buffer must be at most %zu, not %R", kMax,
                 index.get());
    return false;
  }
  buffer = static_cast<std::size_t>(value);
  return true;
}

PyObject* sorvel_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of(self);
  static const char* keywords[] = {"buffer", nullptr};
  PyObject* given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:frames", const_cast<char**>(keywords),
                                   &given)) {
    return nullptr;
  }
  std::size_t buffer = 4096;
  if (given != nullptr && !parse_buffer(given, buffer)) return nullptr;
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    return new_frame_stream(state, *driver->host()->frames(), buffer);
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

/// The names of `parts`, the module's own strings, as Frame.body_part hands them out.
PyObject* name_list(ModuleState& state, const std::vector<BodyPart>& parts) {
  auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    PyObject* name = PyRef::borrow(body_part_name(state, parts[i])).release();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);  // steals name
  }
  return list.release();
}

PyObject* sorvel_lost_trackers(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    return name_list(state, driver->lost_trackers());
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

// Private, for Body.hold: the body parts the latest successful connect paired, so that a
// tracker that sent nothing can be named (its poll entry shows a default frame, not its part).
PyObject* sorvel_paired_body_parts(PyObject* self, PyObject*) {
  ModuleState& state = state_of(self);
  try {
    Driver* driver = driver_of(state, self);
    if (driver == nullptr) return nullptr;
    return name_list(state, driver->paired_body_parts());
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
     "first. `buffer` is at most 1048576 (2**20)."},
    {"lost_trackers", sorvel_lost_trackers, METH_NOARGS,
     "lost_trackers($self)\n--\n\nThe paired trackers the receiver reported lost and has not "
     "reported back since, by body part."},
    {"_paired_body_parts", sorvel_paired_body_parts, METH_NOARGS,
     "_paired_body_parts($self)\n--\n\nThe body parts the latest successful connect paired."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Sorvel()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(sorvel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SorvelFields>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Sorvel",
    sizeof(HeapObject<SorvelFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* make_sorvel_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace pysorvel
