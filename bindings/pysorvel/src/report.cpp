// class Report:
//     acc: tuple[float, float, float]        (read-only)
//     rot: tuple[float, float, float, float]  (read-only, w first)
//     accuracy: int                           (read-only)
//     location: str                           (read-only, body-part name)
//     def __repr__(self) -> str
//
// A plain record of one polled frame. Only `poll` makes them; the fields are kept as C values and
// every getter builds a new Python object.

#include <array>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace pysorvel {
namespace {

struct ReportObject {
  PyObject_HEAD std::array<float, 3> acc;
  std::array<float, 4> rot;  // w, x, y, z
  std::uint16_t accuracy;    // all 16 bits of the frame's value
  sorvel::BodyPart location;
};

ReportObject* as_report(PyObject* self) {
  return reinterpret_cast<ReportObject*>(self);
}

template <std::size_t N>
PyObject* float_tuple(const std::array<float, N>& values) {
  auto tuple = PyRef::steal(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    // Exact widening: a stored 0.1f reads as 0.10000000149011612.
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

PyObject* get_acc(PyObject* self, void*) {
  return float_tuple(as_report(self)->acc);
}
PyObject* get_rot(PyObject* self, void*) {
  return float_tuple(as_report(self)->rot);
}
PyObject* get_accuracy(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_report(self)->accuracy);
}
PyObject* get_location(PyObject* self, void*) {
  return to_str(sorvel::name(as_report(self)->location));
}

/// Shortest text that reads back as the same float32, whole numbers with ".0".
std::string float_text(float value) {
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".e") == std::string::npos && text.find("inf") == std::string::npos &&
      text.find("nan") == std::string::npos) {
    text += ".0";
  }
  return text;
}

template <std::size_t N>
std::string list_text(const std::array<float, N>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) text += ", ";
    text += float_text(values[i]);
  }
  return text + "]";
}

PyObject* report_repr(PyObject* self) {
  try {
    const ReportObject& report = *as_report(self);
    return to_str(fmt::format("Report {{ acc: {}, rot: {}, accuracy: {}, location: \"{}\" }}",
                              list_text(report.acc), list_text(report.rot), report.accuracy,
                              sorvel::name(report.location)));
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

PyObject* report_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Report");
  return nullptr;
}

void report_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyGetSetDef kGetters[] = {
    {"acc", get_acc, nullptr, "", nullptr},
    {"rot", get_rot, nullptr, "", nullptr},
    {"accuracy", get_accuracy, nullptr, "", nullptr},
    {"location", get_location, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(report_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(report_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pysorvel.Report",
    sizeof(ReportObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* report_type(ModuleState& state, PyObject* module) {
  if (state.report_type == nullptr) {
    state.report_type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  }
  return state.report_type;
}

PyObject* new_report(PyObject* report_type, const sorvel::TrackerFrame& frame) {
  auto* type = reinterpret_cast<PyTypeObject*>(report_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  ReportObject& report = *as_report(object);
  report.acc = frame.acceleration;
  const auto& q = frame.orientation;  // x, y, z, w
  report.rot = {q[3], q[0], q[1], q[2]};
  report.accuracy = frame.accuracy;
  report.location = frame.body_part;
  return object;
}

}  // namespace pysorvel
