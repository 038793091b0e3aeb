// class Frame:
//     body_part: str                          (read-only, body-part name, as Report.location)
//     time_ns: int                            (read-only, time.monotonic_ns() clock)
//     rot: tuple[float, float, float, float]  (read-only, w first, as Report.rot)
//     acc: tuple[float, float, float]         (read-only, as Report.acc)
//     accuracy: int                           (read-only, as Report.accuracy)
//     def __repr__(self) -> str                (as Report's)
//
// def _frame(body_part: str, time_ns: int, rot: tuple[float, float, float, float],
//            acc: tuple[float, float, float], accuracy: int) -> Frame
//
// The tools that solve a recording again make its rows into Frames with _frame, so that Body
// reads them as it reads a live stream's.
// One frame of a FrameStream. A stream hands out many of these, most never read field by
// field, so a Frame keeps the raw values and makes the Python ones when they are asked for.

#include <array>
#include <cstdint>

#include <fmt/format.h>

#include "heap_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pysorvel {
namespace {

struct FrameFields {
  PyRef body_part;  // str, shared with every frame of the body part
  std::int64_t time_ns;
  std::array<float, 4> rot;  // w, x, y, z
  std::array<float, 3> acc;
  std::uint16_t accuracy;
  sorvel::BodyPart part;  // what body_part names, for the pose solver
};

FrameFields* as_frame(PyObject* self) {
  return &value_of<FrameFields>(self);
}

PyObject* get_body_part(PyObject* self, void*) {
  return PyRef::borrow(as_frame(self)->body_part.get()).release();
}

PyObject* get_time_ns(PyObject* self, void*) {
  return PyLong_FromLongLong(as_frame(self)->time_ns);
}

PyObject* get_rot(PyObject* self, void*) {
  return float_tuple(as_frame(self)->rot);
}

PyObject* get_acc(PyObject* self, void*) {
  return float_tuple(as_frame(self)->acc);
}

PyObject* get_accuracy(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_frame(self)->accuracy);
}

PyObject* frame_repr(PyObject* self) {
  try {
    const FrameFields& frame = *as_frame(self);
    auto body_part = PyRef::steal(PyUnicode_AsUTF8String(frame.body_part.get()));
    if (!body_part) return nullptr;
    return to_str(
        fmt::format("Frame {{ body_part: \"{}\", time_ns: {}, rot: {}, acc: {}, accuracy: {} }}",
                    PyBytes_AsString(body_part.get()), frame.time_ns, list_text(frame.rot),
                    list_text(frame.acc), frame.accuracy));
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

/// _frame(...): a Frame of recorded values; ValueError for a name that is no body part.
PyObject* make_recorded_frame(PyObject* module, PyObject* args) {
  PyObject* name = nullptr;
  long long time_ns = 0;
  double w = 0, x = 0, y = 0, z = 0, ax = 0, ay = 0, az = 0;
  int accuracy = 0;
  if (!PyArg_ParseTuple(args, "UL(dddd)(ddd)i:_frame", &name, &time_ns, &w, &x, &y, &z, &ax, &ay,
                        &az, &accuracy)) {
    return nullptr;
  }
  ModuleState& state = state_of_module(module);
  const auto part = body_part_named(state, name);
  if (!part) {
    PyErr_Format(PyExc_ValueError, "_frame(): %R is not a body part", name);
    return nullptr;
  }
  if (accuracy < 0 || accuracy > 0xFFFF) {
    PyErr_Format(PyExc_ValueError, "_frame(): accuracy %d is outside 0 to 65535", accuracy);
    return nullptr;
  }
  const auto narrow = [](double value) { return static_cast<float>(value); };
  return new_instance<FrameFields>(
      state.frame_type,
      FrameFields{PyRef::borrow(body_part_name(state, *part)),
                  static_cast<std::int64_t>(time_ns),
                  {narrow(w), narrow(x), narrow(y), narrow(z)},
                  {narrow(ax), narrow(ay), narrow(az)},
                  static_cast<std::uint16_t>(accuracy),
                  *part});
}

PyGetSetDef kGetSet[] = {
    {"body_part", get_body_part, nullptr, nullptr, nullptr},
    {"time_ns", get_time_ns, nullptr, nullptr, nullptr},
    {"rot", get_rot, nullptr, nullptr, nullptr},
    {"acc", get_acc, nullptr, nullptr, nullptr},
    {"accuracy", get_accuracy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<FrameFields>)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Frame",
    sizeof(HeapObject<FrameFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyMethodDef kRecordedFrameDef = {
    "_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_recorded_frame)),
    METH_VARARGS,
    "_frame(body_part, time_ns, rot, acc, accuracy)\n--\n\nA Frame of recorded values."};

PyObject* make_frame_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

bool frame_orientation(ModuleState& state, PyObject* object, sorvel::BodyPart& part,
                       std::array<float, 4>& wxyz) {
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(state.frame_type)) return false;
  const FrameFields& frame = *as_frame(object);
  part = frame.part;
  wxyz = frame.rot;
  return true;
}

PyObject* new_frame(ModuleState& state, const sorvel::StampedFrame& stamped) {
  PyObject* body_part = body_part_name(state, stamped.frame.body_part);
  if (body_part == nullptr) return nullptr;
  return new_instance<FrameFields>(state.frame_type, FrameFields{
                                                         PyRef::borrow(body_part),
                                                         stamped.time_ns,
                                                         rot_of(stamped.frame),
                                                         stamped.frame.acceleration,
                                                         stamped.frame.accuracy,
                                                         stamped.frame.body_part,
                                                     });
}

}  // namespace pysorvel
