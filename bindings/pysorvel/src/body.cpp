// class Body:
//     def __init__(self, height: float | None = None, *, lengths: dict[str, float] | None = None,
//                  up: str = "Z") -> None
//     async def hold(self, kit: Sorvel, seconds: float = 1.0) -> list[Frame]
//     def calibrate(self, frames, pose: str = "I") -> None
//     def calibrate_mounting(self, frames) -> None
//     def reset_heading(self, frames) -> None
//     def solve(self, frames) -> Pose
//     def save(self, path: str | os.PathLike[str]) -> None
//     @classmethod
//     def load(cls, path: str | os.PathLike[str]) -> Body
//     height: float | None    (read-only; None unless given)
//     lengths: dict[str, float]  (read-only)
//     up: str                 (read-only, "Z" or "Y")
//     calibrated: bool        (read-only)
//
// A person's segment lengths and the calibration of the trackers they wear. `frames` is what
// poll() returns, a list of Reports, or a list of Frames (hold(), FrameStream.drain()).

#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include "heap_object.hpp"
#include "module_state.hpp"
#include "pose_input.hpp"
#include "py_ref.hpp"
#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/lengths.hpp"
#include "sorvel/pose/saved_body.hpp"
#include "sorvel/pose/solver.hpp"

namespace pysorvel {
namespace {

namespace pose = sorvel::pose;
using sorvel::BodyPart;

struct BodyFields {
  pose::Proportions proportions;
  pose::Calibration calibration;
  std::optional<double> height;  ///< the one the proportions came from, if any
};

BodyFields& as_body(PyObject* self) {
  return value_of<BodyFields>(self);
}

ModuleState& state_of(PyObject* self) {
  return state_of_type(Py_TYPE(self));
}

bool calibrated(const pose::Calibration& calibration) {
  for (const auto& tracker : calibration.trackers) {
    if (tracker.calibrated) return true;
  }
  return false;
}

/// RuntimeError for the steps that need the first calibration step behind them.
bool require_calibrated(PyObject* self, const char* function) {
  if (calibrated(as_body(self).calibration)) return true;
  PyErr_Format(PyExc_RuntimeError, "%s() needs a calibrated body: call calibrate() first",
               function);
  return false;
}

/// "Z" or "Y"; false with an exception set for anything else.
bool parse_up(PyObject* given, pose::WorldUp& up) {
  if (given == nullptr) return true;
  if (!PyUnicode_Check(given)) {
    raise_not_str("Body", "up", given);
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(given, "Z") == 0) {
    up = pose::WorldUp::Z;
  } else if (PyUnicode_CompareWithASCIIString(given, "Y") == 0) {
    up = pose::WorldUp::Y;
  } else {
    PyErr_Format(PyExc_ValueError, "Body() up must be \"Z\" or \"Y\", not %R", given);
    return false;
  }
  return true;
}

/// `lengths` as overrides; their names point into the dict's keys, which outlive the call.
bool parse_lengths(PyObject* lengths, std::vector<pose::LengthOverride>& overrides) {
  if (lengths == nullptr || lengths == Py_None) return true;
  if (!PyDict_Check(lengths)) {
    PyErr_Format(PyExc_TypeError, "Body() lengths must be a dict of metres by name, not %R",
                 lengths);
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(lengths, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_not_str("Body", "lengths' names", key);
      return false;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) return false;
    const double metres = PyFloat_AsDouble(value);
    if (metres == -1.0 && PyErr_Occurred()) return false;
    overrides.push_back({std::string_view(name, static_cast<std::size_t>(size)), metres});
  }
  return true;
}

/// Without a height every length must be given; the first one missing, if any.
std::optional<std::string_view> missing_length(const std::vector<pose::LengthOverride>& given) {
  for (const auto name : pose::kLengthNames) {
    bool found = false;
    for (const auto& length : given) found = found || length.name == name;
    if (!found) return name;
  }
  return std::nullopt;
}

PyObject* body_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"height", "lengths", "up", nullptr};
  PyObject* height_given = Py_None;
  PyObject* lengths = nullptr;
  PyObject* up_given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO:Body", const_cast<char**>(keywords),
                                   &height_given, &lengths, &up_given)) {
    return nullptr;
  }
  try {
    pose::WorldUp up = pose::WorldUp::Z;
    std::vector<pose::LengthOverride> overrides;
    if (!parse_up(up_given, up) || !parse_lengths(lengths, overrides)) return nullptr;
    std::optional<double> height;
    if (height_given != Py_None) {
      height = PyFloat_AsDouble(height_given);
      if (*height == -1.0 && PyErr_Occurred()) return nullptr;
    } else if (lengths == nullptr || lengths == Py_None) {
      PyErr_SetString(PyExc_TypeError, "Body() needs a height, lengths or both");
      return nullptr;
    } else if (const auto missing = missing_length(overrides)) {
      return raise_message(PyExc_ValueError,
                           "Body() lengths without a height must give every length; missing: " +
                               std::string(*missing));
    }
    auto proportions = height ? pose::proportions_for(*height, overrides)
                              : pose::with_lengths(pose::Proportions{}, overrides);
    if (!proportions) return raise_message(PyExc_ValueError, proportions.error().message);
    BodyFields fields{*proportions, {}, height};
    fields.calibration.up = up;
    return new_instance<BodyFields>(reinterpret_cast<PyObject*>(type), fields);
  } catch (...) {
    return raise_panic_from_current_exception(state_of_type(type));
  }
}

/// Body.hold's frames come from a stream subscribed now, collected by the package's coroutine.
PyObject* body_hold(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of(self);
  static const char* keywords[] = {"kit", "seconds", nullptr};
  PyObject* kit = nullptr;
  double seconds = 1.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|d:hold", const_cast<char**>(keywords), &kit,
                                   &seconds)) {
    return nullptr;
  }
  if (Py_TYPE(kit) != reinterpret_cast<PyTypeObject*>(state.sorvel_type)) {
    auto type_name = PyRef::steal(PyType_GetName(Py_TYPE(kit)));
    if (type_name)
      PyErr_Format(PyExc_TypeError, "hold() kit must be a Sorvel, not %U", type_name.get());
    return nullptr;
  }
  if (!std::isfinite(seconds) || seconds <= 0.0) {
    auto given = PyRef::steal(PyFloat_FromDouble(seconds));
    if (given)
      PyErr_Format(PyExc_ValueError, "hold() seconds must be positive, not %R", given.get());
    return nullptr;
  }
  auto collector = PyRef::steal(PyImport_ImportModule("pysorvel._hold"));
  auto stream = collector ? PyRef::steal(PyObject_CallMethod(kit, "frames", nullptr)) : PyRef();
  if (!stream) return nullptr;
  return PyObject_CallMethod(collector.get(), "collect", "OOd", kit, stream.get(), seconds);
}

/// "I" or "T"; false with an exception set for anything else.
bool parse_pose(PyObject* given, pose::StandingPose& standing) {
  if (given == nullptr) return true;
  if (!PyUnicode_Check(given)) {
    raise_not_str("calibrate", "pose", given);
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(given, "I") == 0) {
    standing = pose::StandingPose::I;
  } else if (PyUnicode_CompareWithASCIIString(given, "T") == 0) {
    standing = pose::StandingPose::T;
  } else {
    PyErr_Format(PyExc_ValueError, "calibrate() pose must be \"I\" or \"T\", not %R", given);
    return false;
  }
  return true;
}

PyObject* body_calibrate(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of(self);
  static const char* keywords[] = {"frames", "pose", nullptr};
  PyObject* frames = nullptr;
  PyObject* pose_given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:calibrate", const_cast<char**>(keywords),
                                   &frames, &pose_given)) {
    return nullptr;
  }
  try {
    pose::StandingPose standing = pose::StandingPose::I;
    if (!parse_pose(pose_given, standing)) return nullptr;
    pose::HoldAverage hold;
    if (!read_hold(state, frames, "calibrate", hold)) return nullptr;
    BodyFields& body = as_body(self);
    auto calibration = pose::calibrate(hold.summary(), standing, body.calibration.up);
    if (!calibration) return raise_message(PyExc_ValueError, calibration.error().message);
    body.calibration = *calibration;
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* body_calibrate_mounting(PyObject* self, PyObject* frames) {
  ModuleState& state = state_of(self);
  if (!require_calibrated(self, "calibrate_mounting")) return nullptr;
  try {
    pose::HoldAverage hold;
    if (!read_hold(state, frames, "calibrate_mounting", hold)) return nullptr;
    BodyFields& body = as_body(self);
    auto calibration = pose::calibrate_mounting(body.calibration, hold.summary());
    if (!calibration) return raise_message(PyExc_ValueError, calibration.error().message);
    body.calibration = *calibration;
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* body_reset_heading(PyObject* self, PyObject* frames) {
  ModuleState& state = state_of(self);
  if (!require_calibrated(self, "reset_heading")) return nullptr;
  try {
    pose::HoldAverage hold;
    if (!read_hold(state, frames, "reset_heading", hold)) return nullptr;
    const pose::HoldSummary summary = hold.summary();
    pose::Orientations standing;
    for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i) {
      const auto part = static_cast<BodyPart>(i);
      const pose::HeldPart& held = summary.at(part);
      if (held.state == pose::HoldState::Moved) {
        return raise_message(PyExc_ValueError, pose::hold_refusal(summary, part)->message);
      }
      if (held.state == pose::HoldState::Still) (void)standing.set(part, held.mean);
    }
    BodyFields& body = as_body(self);
    body.calibration = pose::reset_heading(body.calibration, standing);
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* body_solve(PyObject* self, PyObject* frames) {
  ModuleState& state = state_of(self);
  if (!require_calibrated(self, "solve")) return nullptr;
  pose::Orientations reported;
  if (!read_latest(state, frames, "solve", reported)) return nullptr;
  auto solved = PyRef::steal(new_instance<pose::Pose>(state.pose_type));
  if (!solved) return nullptr;
  const BodyFields& body = as_body(self);
  pose::solve(body.calibration, body.proportions, reported, value_of<pose::Pose>(solved.get()));
  return solved.release();
}

/// io.open(path, mode, encoding="utf-8"): Python's own errors (OSError with the path).
PyRef open_text(PyObject* path, const char* mode) {
  auto io = PyRef::steal(PyImport_ImportModule("io"));
  if (!io) return {};
  auto open = PyRef::steal(PyObject_GetAttrString(io.get(), "open"));
  auto positional = open ? PyRef::steal(Py_BuildValue("(Os)", path, mode)) : PyRef();
  auto keywords = positional ? PyRef::steal(Py_BuildValue("{s:s}", "encoding", "utf-8")) : PyRef();
  if (!keywords) return {};
  return PyRef::steal(PyObject_Call(open.get(), positional.get(), keywords.get()));
}

/// Calls `method` on the open `file`, then closes it whatever happened; the result or null.
PyRef call_then_close(PyObject* file, const char* method, PyObject* argument) {
  auto result = PyRef::steal(PyObject_CallMethod(file, method, "O", argument));
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  auto closed = PyRef::steal(PyObject_CallMethod(file, "close", nullptr));
  if (type != nullptr) {
    PyErr_Restore(type, value, traceback);  // the first failure is the one to tell
    return {};
  }
  if (!closed) return {};
  return result;
}

PyObject* body_save(PyObject* self, PyObject* path) {
  ModuleState& state = state_of(self);
  try {
    const BodyFields& body = as_body(self);
    auto text = PyRef::steal(to_str(pose::to_json({body.proportions, body.calibration})));
    auto file = text ? open_text(path, "w") : PyRef();
    if (!file || !call_then_close(file.get(), "write", text.get())) return nullptr;
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

// More than any saved body: read one character beyond, so the parser refuses a longer file
// without the whole of it read.
constexpr long kLongestSaved = (1L << 20) + 1;

PyObject* body_load(PyObject* type, PyObject* path) {
  ModuleState& state = state_of_type(reinterpret_cast<PyTypeObject*>(type));
  try {
    auto file = open_text(path, "r");
    auto limit = file ? PyRef::steal(PyLong_FromLong(kLongestSaved)) : PyRef();
    auto text = limit ? call_then_close(file.get(), "read", limit.get()) : PyRef();
    if (!text) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return nullptr;
    auto saved = pose::saved_body_from_json(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!saved) {
      auto message = PyRef::steal(to_message(saved.error().message));
      if (message) PyErr_Format(PyExc_ValueError, "%S: %U", path, message.get());
      return nullptr;
    }
    return new_instance<BodyFields>(type, BodyFields{saved->proportions, saved->calibration, {}});
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

PyObject* get_height(PyObject* self, void*) {
  const auto& height = as_body(self).height;
  if (!height) Py_RETURN_NONE;
  return PyFloat_FromDouble(*height);
}

PyObject* get_lengths(PyObject* self, void*) {
  auto lengths = PyRef::steal(PyDict_New());
  if (!lengths) return nullptr;
  for (const auto name : pose::kLengthNames) {
    auto key = PyRef::steal(to_str(name));
    auto metres =
        key ? PyRef::steal(PyFloat_FromDouble(*pose::length_named(as_body(self).proportions, name)))
            : PyRef();
    if (!metres || PyDict_SetItem(lengths.get(), key.get(), metres.get()) < 0) return nullptr;
  }
  return lengths.release();
}

PyObject* get_up(PyObject* self, void*) {
  return to_str(as_body(self).calibration.up == pose::WorldUp::Z ? "Z" : "Y");
}

PyObject* get_calibrated(PyObject* self, void*) {
  return PyBool_FromLong(calibrated(as_body(self).calibration));
}

template <auto Function>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef kMethods[] = {
    {"hold", with_keywords<body_hold>(), METH_VARARGS | METH_KEYWORDS,
     "hold($self, kit, seconds=1.0)\n--\n\nA coroutine: every frame `kit` sends for `seconds`, "
     "the person holding still, as a list of\nFrames. Raises ValueError when a paired tracker "
     "sent nothing, or naming one the receiver\nreported lost meanwhile."},
    {"calibrate", with_keywords<body_calibrate>(), METH_VARARGS | METH_KEYWORDS,
     "calibrate($self, frames, pose='I')\n--\n\nThe first step, from a still hold in `pose`: "
     "\"I\" (arms down) or \"T\" (arms out). `frames` is\nwhat hold() or poll() returns, or a "
     "list of Reports or Frames. Raises ValueError naming a\ntracker that sent nothing or moved, "
     "or when no Chest, Hips or Head tracker is among them."},
    {"calibrate_mounting", body_calibrate_mounting, METH_O,
     "calibrate_mounting($self, frames, /)\n--\n\nThe optional second step, from a still hold "
     "in the ski pose (knees and trunk bent forward,\narms forward): each tracker's own heading "
     "and mounting."},
    {"reset_heading", body_reset_heading, METH_O,
     "reset_heading($self, frames, /)\n--\n\nA quick fix of heading drift, the person standing "
     "as in the first step; trackers absent\nfrom `frames` keep theirs."},
    {"solve", body_solve, METH_O,
     "solve($self, frames, /)\n--\n\nThe Pose of the newest frame of every body part in "
     "`frames`; a segment without a\ncalibrated tracker follows its parent."},
    {"save", body_save, METH_O,
     "save($self, path, /)\n--\n\nWrites the lengths and the calibration to `path` as JSON."},
    {"load", body_load, METH_O | METH_CLASS,
     "load($type, path, /)\n--\n\nThe Body save() wrote to `path`. Raises ValueError for "
     "anything else."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"height", get_height, nullptr, "The height the lengths came from; None unless given.",
     nullptr},
    {"lengths", get_lengths, nullptr, "Every segment length, in metres, by name.", nullptr},
    {"up", get_up, nullptr, "Which axis of the trackers' own worlds points up: \"Z\" or \"Y\".",
     nullptr},
    {"calibrated", get_calibrated, nullptr, "Whether calibrate() has succeeded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Body(height=None, *, lengths=None, up='Z')\n--\n\nA person's segment lengths, "
                    "from a height (metres) with `lengths` set by name over its\nproportions, "
                    "or from `lengths` alone, and the calibration of the trackers they wear.")},
    {Py_tp_new, reinterpret_cast<void*>(body_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BodyFields>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Body",
    sizeof(HeapObject<BodyFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* make_body_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace pysorvel
