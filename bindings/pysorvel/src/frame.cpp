// class Frame:
//     body_part: str                          (read-only, body-part name, as Report.location)
//     time_ns: int                            (read-only, time.monotonic_ns() clock)
//     rot: tuple[float, float, float, float]  (read-only, w first, as Report.rot)
//     acc: tuple[float, float, float]         (read-only, as Report.acc)
//     accuracy: int                           (read-only, as Report.accuracy)
//
// One frame of a FrameStream. A stream hands out many of these, most never read field by
// field, so a Frame keeps the raw values and makes the Python ones when they are asked for.

#include <array>
#include <cstdint>

#include "module_state.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pysorvel {
namespace {

struct FrameObject {
  PyObject_HEAD PyObject* body_part;  // str, shared with every frame of the body part
  std::int64_t time_ns;
  std::array<float, 4> rot;  // w, x, y, z
  std::array<float, 3> acc;
  std::uint16_t accuracy;
};

FrameObject* as_frame(PyObject* self) {
  return reinterpret_cast<FrameObject*>(self);
}

PyObject* frame_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Frame");
  return nullptr;
}

void frame_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_frame(self)->body_part);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* get_body_part(PyObject* self, void*) {
  return PyRef::borrow(as_frame(self)->body_part).release();
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

PyGetSetDef kGetSet[] = {
    {"body_part", get_body_part, nullptr, nullptr, nullptr},
    {"time_ns", get_time_ns, nullptr, nullptr, nullptr},
    {"rot", get_rot, nullptr, nullptr, nullptr},
    {"acc", get_acc, nullptr, nullptr, nullptr},
    {"accuracy", get_accuracy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(frame_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Frame", sizeof(FrameObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots,
};

}  // namespace

PyObject* make_frame_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* new_frame(ModuleState& state, const sorvel::StampedFrame& stamped) {
  PyObject* body_part = body_part_name(state, stamped.frame.body_part);
  if (body_part == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(state.frame_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  FrameObject& frame = *as_frame(object);
  frame.body_part = PyRef::borrow(body_part).release();
  frame.time_ns = stamped.time_ns;
  frame.rot = rot_of(stamped.frame);
  frame.acc = stamped.frame.acceleration;
  frame.accuracy = stamped.frame.accuracy;
  return object;
}

}  // namespace pysorvel
