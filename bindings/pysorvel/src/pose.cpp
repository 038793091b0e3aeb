// class Pose:
//     def rotation(self, part: str) -> tuple[float, float, float, float]
//     def local_rotation(self, part: str) -> tuple[float, float, float, float]
//     def position(self, part: str) -> tuple[float, float, float]
//     def end(self, part: str) -> tuple[float, float, float]
//     def as_dict(self) -> dict[str, dict[str, tuple[float, ...]]]
//
// The body at one instant, from Body.solve: every segment in the body frame (Y up, facing +Z,
// +X to the person's left), rotations (w, x, y, z). Immutable; the values are made as they are
// asked for, so a solve makes one object.

#include <array>
#include <cstddef>

#include "heap_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/pose/solver.hpp"

namespace pysorvel {
namespace {

using sorvel::BodyPart;
using sorvel::pose::Quaternion;
using sorvel::pose::Vec3;

PyObject* values_tuple(const Quaternion& q) {
  return Py_BuildValue("(dddd)", q.w, q.x, q.y, q.z);
}

PyObject* values_tuple(const Vec3& v) {
  return Py_BuildValue("(ddd)", v.x, v.y, v.z);
}

/// The body part `function` was asked about; false with an exception set for anything else.
bool parse_part(PyObject* self, PyObject* name, const char* function, BodyPart& part) {
  if (!PyUnicode_Check(name)) {
    raise_not_str(function, "part", name);
    return false;
  }
  const auto named = body_part_named(state_of_type(Py_TYPE(self)), name);
  if (!named) {
    PyErr_Format(PyExc_ValueError, "%s(): no body part is called %R", function, name);
    return false;
  }
  part = *named;
  return true;
}

template <auto Member>
PyObject* pose_value(PyObject* self, PyObject* name, const char* function) {
  BodyPart part{};
  if (!parse_part(self, name, function, part)) return nullptr;
  return values_tuple((value_of<sorvel::pose::Pose>(self).*Member)[sorvel::pose::index_of(part)]);
}

PyObject* pose_rotation(PyObject* self, PyObject* name) {
  return pose_value<&sorvel::pose::Pose::rotations>(self, name, "rotation");
}

PyObject* pose_local_rotation(PyObject* self, PyObject* name) {
  return pose_value<&sorvel::pose::Pose::local_rotations>(self, name, "local_rotation");
}

PyObject* pose_position(PyObject* self, PyObject* name) {
  return pose_value<&sorvel::pose::Pose::positions>(self, name, "position");
}

PyObject* pose_end(PyObject* self, PyObject* name) {
  return pose_value<&sorvel::pose::Pose::ends>(self, name, "end");
}

PyObject* pose_as_dict(PyObject* self, PyObject*) {
  ModuleState& state = state_of_type(Py_TYPE(self));
  const sorvel::pose::Pose& pose = value_of<sorvel::pose::Pose>(self);
  auto all = PyRef::steal(PyDict_New());
  if (!all) return nullptr;
  for (std::size_t i = 0; i < sorvel::kBodyPartCount; ++i) {
    auto segment = PyRef::steal(
        Py_BuildValue("{s:N,s:N,s:N,s:N}", "rotation", values_tuple(pose.rotations[i]),
                      "local_rotation", values_tuple(pose.local_rotations[i]), "position",
                      values_tuple(pose.positions[i]), "end", values_tuple(pose.ends[i])));
    if (!segment || PyDict_SetItem(all.get(), body_part_name(state, static_cast<BodyPart>(i)),
                                   segment.get()) < 0) {
      return nullptr;
    }
  }
  return all.release();
}

PyMethodDef kMethods[] = {
    {"rotation", pose_rotation, METH_O,
     "rotation($self, part, /)\n--\n\nThe segment's rotation in the body frame, (w, x, y, z)."},
    {"local_rotation", pose_local_rotation, METH_O,
     "local_rotation($self, part, /)\n--\n\nThe segment's rotation relative to its parent "
     "segment, (w, x, y, z); the hips' is their rotation in the body frame."},
    {"position", pose_position, METH_O,
     "position($self, part, /)\n--\n\nWhere the segment joins its parent, in metres, body "
     "frame; the hips' is the hip centre."},
    {"end", pose_end, METH_O,
     "end($self, part, /)\n--\n\nThe segment's far end, in metres, body frame: the next joint, "
     "or the tip of a head, hand or foot."},
    {"as_dict", pose_as_dict, METH_NOARGS,
     "as_dict($self, /)\n--\n\nEvery segment by body part: {part: {\"rotation\", "
     "\"local_rotation\", \"position\", \"end\"}}, as the methods give them."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The body at one instant, from Body.solve.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<sorvel::pose::Pose>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Pose",
    sizeof(HeapObject<sorvel::pose::Pose>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* make_pose_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace pysorvel
