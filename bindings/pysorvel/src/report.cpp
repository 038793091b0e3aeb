// class Report:
//     acc: tuple[float, float, float]        (read-only)
//     rot: tuple[float, float, float, float]  (read-only, w first)
//     accuracy: int                           (read-only)
//     location: str                           (read-only, body-part name)
//     def __repr__(self) -> str
//
// A plain record of one polled frame. Only `poll` makes them, and hands the same one out again
// while its tracker repeats the frame. The four values are Python objects made with the record
// and read as members, as fast as __slots__; all of them are immutable, so sharing them is safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "values.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // the member type codes; Python.h has them from 3.12 on
#endif

namespace pysorvel {
namespace {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kObjectMember = Py_T_OBJECT_EX;
constexpr int kReadOnly = Py_READONLY;
#else
constexpr int kObjectMember = T_OBJECT_EX;
constexpr int kReadOnly = READONLY;
#endif

struct ReportObject {
  PyObject_HEAD PyObject* acc;  // tuple of 3 floats
  PyObject* rot;                // tuple of 4 floats, w first
  PyObject* accuracy;           // int, all 16 bits of the frame's value
  PyObject* location;           // str, shared with every record of the body part
  // The text form prints the stored 32-bit values.
  std::array<float, 3> acc_values;
  std::array<float, 4> rot_values;  // w, x, y, z
  std::uint16_t accuracy_value;
  sorvel::BodyPart location_value;
};

ReportObject* as_report(PyObject* self) {
  return reinterpret_cast<ReportObject*>(self);
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
                              list_text(report.acc_values), list_text(report.rot_values),
                              report.accuracy_value, sorvel::name(report.location_value)));
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
  ReportObject& report = *as_report(self);
  Py_XDECREF(report.acc);
  Py_XDECREF(report.rot);
  Py_XDECREF(report.accuracy);
  Py_XDECREF(report.location);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyMemberDef kMembers[] = {
    {"acc", kObjectMember, offsetof(ReportObject, acc), kReadOnly, ""},
    {"rot", kObjectMember, offsetof(ReportObject, rot), kReadOnly, ""},
    {"accuracy", kObjectMember, offsetof(ReportObject, accuracy), kReadOnly, ""},
    {"location", kObjectMember, offsetof(ReportObject, location), kReadOnly, ""},
    {nullptr, 0, 0, 0, nullptr},
};

/// Assigning or deleting a field fails as it always has, with the text of a property without a
/// setter rather than a member's terse "readonly attribute".
int report_setattro(PyObject* self, PyObject* name, PyObject* value) {
  for (const PyMemberDef& member : kMembers) {
    if (member.name != nullptr && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, member.name) == 0) {
      PyErr_Format(PyExc_AttributeError,
                   "attribute '%U' of 'pysorvel.Report' objects is not writable", name);
      return -1;
    }
  }
  return PyObject_GenericSetAttr(self, name, value);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(report_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(report_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_setattro, reinterpret_cast<void*>(report_setattro)},
    {Py_tp_members, kMembers},
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

PyObject* new_report(ModuleState& state, PyObject* report_type, const sorvel::TrackerFrame& frame) {
  const std::array<float, 4> rot = rot_of(frame);
  auto acc = PyRef::steal(float_tuple(frame.acceleration));
  if (!acc) return nullptr;
  auto rot_tuple = PyRef::steal(float_tuple(rot));
  if (!rot_tuple) return nullptr;
  auto accuracy = PyRef::steal(PyLong_FromUnsignedLong(frame.accuracy));
  if (!accuracy) return nullptr;
  PyObject* location = body_part_name(state, frame.body_part);
  if (location == nullptr) return nullptr;

  auto* type = reinterpret_cast<PyTypeObject*>(report_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  ReportObject& report = *as_report(object);
  report.acc = acc.release();
  report.rot = rot_tuple.release();
  report.accuracy = accuracy.release();
  report.location = PyRef::borrow(location).release();
  report.acc_values = frame.acceleration;
  report.rot_values = rot;
  report.accuracy_value = frame.accuracy;
  report.location_value = frame.body_part;
  return object;
}

}  // namespace pysorvel
