// class Report:
//     acc: tuple[float, float, float]        (read-only)
//     rot: tuple[float, float, float, float]  (read-only, w first)
//     accuracy: int                           (read-only)
//     location: str                           (read-only, body-part name)
//     def __repr__(self) -> str
//
// A plain record of one polled frame. Only `poll` makes them, and hands the same one out again
// while its tracker repeats the frame; a Report nobody holds any more is refilled for a newer
// frame rather than freed. The four values are Python objects made with the record
// and read as members, as fast as __slots__; all of them are immutable, so sharing them is safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "heap_object.hpp"
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

struct ReportFields {
  PyRef acc;       // tuple of 3 floats
  PyRef rot;       // tuple of 4 floats, w first
  PyRef accuracy;  // int, all 16 bits of the frame's value
  PyRef location;  // str, shared with every record of the body part
  // The text form prints the stored 32-bit values.
  std::array<float, 3> acc_values;
  std::array<float, 4> rot_values;  // w, x, y, z
  std::uint16_t accuracy_value;
  sorvel::BodyPart location_value;
};
using ReportObject = HeapObject<ReportFields>;
// The members read the PyRefs as the object pointers they hold.
static_assert(sizeof(PyRef) == sizeof(PyObject*) && std::is_standard_layout_v<ReportObject>);

/// Where member `field` of a Report lies in the object, for the member table.
constexpr Py_ssize_t member_offset(std::size_t field) {
  return static_cast<Py_ssize_t>(offsetof(ReportObject, value) + field);
}

ReportFields* as_report(PyObject* self) {
  return &value_of<ReportFields>(self);
}

PyObject* report_repr(PyObject* self) {
  try {
    const ReportFields& report = *as_report(self);
    return to_str(fmt::format("Report {{ acc: {}, rot: {}, accuracy: {}, location: \"{}\" }}",
                              list_text(report.acc_values), list_text(report.rot_values),
                              report.accuracy_value, sorvel::name(report.location_value)));
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

PyMemberDef kMembers[] = {
    {"acc", kObjectMember, member_offset(offsetof(ReportFields, acc)), kReadOnly, ""},
    {"rot", kObjectMember, member_offset(offsetof(ReportFields, rot)), kReadOnly, ""},
    {"accuracy", kObjectMember, member_offset(offsetof(ReportFields, accuracy)), kReadOnly, ""},
    {"location", kObjectMember, member_offset(offsetof(ReportFields, location)), kReadOnly, ""},
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
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ReportFields>)},
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

std::string float_text(float value) {
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".e") == std::string::npos && text.find("inf") == std::string::npos &&
      text.find("nan") == std::string::npos) {
    text += ".0";
  }
  return text;
}

PyObject* make_report_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

namespace {

/// Makes `report`'s values from `frame`; false with an exception set on failure.
bool fill(ModuleState& state, ReportFields& report, const sorvel::TrackerFrame& frame) {
  const std::array<float, 4> rot = rot_of(frame);
  PyObject* location = body_part_name(state, frame.body_part);
  if (location == nullptr) return false;
  report.acc = PyRef::steal(float_tuple(frame.acceleration));
  report.rot = PyRef::steal(float_tuple(rot));
  report.accuracy = PyRef::steal(PyLong_FromUnsignedLong(frame.accuracy));
  report.location = PyRef::borrow(location);
  report.acc_values = frame.acceleration;
  report.rot_values = rot;
  report.accuracy_value = frame.accuracy;
  report.location_value = frame.body_part;
  return report.acc && report.rot && report.accuracy;
}

}  // namespace

PyObject* new_report(ModuleState& state, PyObject* report_type, const sorvel::TrackerFrame& frame) {
  auto report = PyRef::steal(new_instance<ReportFields>(report_type));
  if (!report || !fill(state, *as_report(report.get()), frame)) return nullptr;
  return report.release();
}

bool report_shows(PyObject* report, const sorvel::TrackerFrame& frame) {
  // Bit for bit: -0.0 is not 0.0, and a NaN is the NaN it was.
  const ReportFields& fields = *as_report(report);
  const std::array<float, 4> rot = rot_of(frame);
  return std::memcmp(fields.rot_values.data(), rot.data(), sizeof rot) == 0 &&
         std::memcmp(fields.acc_values.data(), frame.acceleration.data(),
                     sizeof frame.acceleration) == 0 &&
         fields.accuracy_value == frame.accuracy && fields.location_value == frame.body_part;
}

bool refill_report(ModuleState& state, PyObject* report, const sorvel::TrackerFrame& frame) {
  ReportFields& fields = *as_report(report);
  // The old values go first, so that the new ones take their memory from the interpreter's free
  // lists while it is still in the cache. Floats, tuples of them and an int run no Python code as
  // they go.
  fields.acc = PyRef();
  fields.rot = PyRef();
  fields.accuracy = PyRef();
  return fill(state, fields, frame);
}

}  // namespace pysorvel
