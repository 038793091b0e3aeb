#include "pose_input.hpp"

#include <array>
#include <cmath>

#include "py_ref.hpp"

namespace pysorvel {
namespace {

using sorvel::BodyPart;
using sorvel::pose::Quaternion;

/// TypeError naming what `function` was given: `value` itself, or an item of what it was given.
void raise_not_frames(const char* function, PyObject* value, const char* holding) {
  auto type_name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes a list of Frames, Reports or poll()'s (Report, fresh) pairs, not "
                 "%s%U",
                 function, holding, type_name.get());
  }
}

/// A Report's body part and orientation, through its attributes.
bool report_orientation(ModuleState& state, PyObject* report, BodyPart& part, Quaternion& q) {
  auto location = PyRef::steal(PyObject_GetAttr(report, state.location_attribute));
  auto rot = location ? PyRef::steal(PyObject_GetAttr(report, state.rot_attribute)) : PyRef();
  if (!rot || !PyUnicode_Check(location.get()) || !PyTuple_Check(rot.get()) ||
      PyTuple_Size(rot.get()) != 4) {
    return false;
  }
  const auto named = body_part_named(state, location.get());
  if (!named) return false;
  double values[4];
  for (Py_ssize_t i = 0; i < 4; ++i) {
    values[i] = PyFloat_AsDouble(PyTuple_GetItem(rot.get(), i));
    if (values[i] == -1.0 && PyErr_Occurred()) return false;
  }
  part = *named;
  q = {values[0], values[1], values[2], values[3]};
  return true;
}

/// `item`'s body part and orientation; false with an exception set when it is none of the three.
bool orientation_of(ModuleState& state, PyObject* item, const char* function, BodyPart& part,
                    Quaternion& q) {
  PyObject* record = item;
  if (PyTuple_Check(item) && PyTuple_Size(item) == 2) record = PyTuple_GetItem(item, 0);
  std::array<float, 4> wxyz{};
  if (frame_orientation(state, record, part, wxyz)) {
    q = {wxyz[0], wxyz[1], wxyz[2], wxyz[3]};
    return true;
  }
  if (Py_TYPE(record) == reinterpret_cast<PyTypeObject*>(state.report_type) &&
      report_orientation(state, record, part, q)) {
    return true;
  }
  if (!PyErr_Occurred()) raise_not_frames(function, record, "one holding ");
  return false;
}

/// Not a rotation at all (never one the wire carries): left out rather than averaged in.
bool usable(const Quaternion& q) {
  const double n = q.norm();
  return std::isfinite(n) && n > 1e-6;
}

template <typename Take>
bool for_each_orientation(ModuleState& state, PyObject* items, const char* function, Take take) {
  auto iterator = PyRef::steal(PyObject_GetIter(items));
  if (!iterator) {
    PyErr_Clear();
    raise_not_frames(function, items, "");
    return false;
  }
  while (auto item = PyRef::steal(PyIter_Next(iterator.get()))) {
    BodyPart part{};
    Quaternion q;
    if (!orientation_of(state, item.get(), function, part, q)) return false;
    take(part, q);
  }
  return !PyErr_Occurred();
}

}  // namespace

bool read_hold(ModuleState& state, PyObject* items, const char* function,
               sorvel::pose::HoldAverage& hold) {
  return for_each_orientation(state, items, function, [&](BodyPart part, const Quaternion& q) {
    hold.expect(part);
    if (usable(q)) hold.add(part, q);
  });
}

bool read_latest(ModuleState& state, PyObject* items, const char* function,
                 sorvel::pose::Orientations& latest) {
  return for_each_orientation(state, items, function, [&](BodyPart part, const Quaternion& q) {
    (void)latest.set(part, q);
  });
}

}  // namespace pysorvel
