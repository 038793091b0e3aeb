// def _ask_virtual_person(pose: str, seconds: float) -> bool
//
// Has every simulated person of the process hold "I", "T" or "ski" for `seconds` from now, for
// the tools that walk a user through calibration and let the virtual kit play along. Returns
// whether any simulated person exists: False on a real receiver, or a kit without a body.

#include <string_view>

#include "module_state.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace pysorvel {
namespace {

PyObject* ask_virtual_person(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"pose", "seconds", nullptr};
  PyObject* pose_object = nullptr;
  double seconds = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Od:_ask_virtual_person",
                                   const_cast<char**>(keywords), &pose_object, &seconds)) {
    return nullptr;
  }
  if (!PyUnicode_Check(pose_object)) {
    return raise_not_str("_ask_virtual_person", "pose", pose_object);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(pose_object, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a lone surrogate names no pose either
    utf8 = "";
    size = 0;
  }
  try {
    const auto heard = sorvel::simulator::ask_virtual_person(
        std::string_view(utf8, static_cast<std::size_t>(size)), seconds);
    if (!heard) return raise_message(PyExc_ValueError, heard.error());
    return PyBool_FromLong(*heard ? 1 : 0);
  } catch (...) {
    return raise_panic_from_current_exception(state_of_module(module));
  }
}

}  // namespace

PyMethodDef kAskVirtualPersonDef = {
    "_ask_virtual_person",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ask_virtual_person)),
    METH_VARARGS | METH_KEYWORDS,
    "_ask_virtual_person(pose, seconds)\n--\n\nHas every simulated person of the process hold "
    "\"I\", \"T\" or \"ski\" for `seconds` from now; whether there is one."};

}  // namespace pysorvel
