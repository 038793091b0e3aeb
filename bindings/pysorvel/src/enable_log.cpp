// def enable_log(level: str) -> None
//
// Sets the global log threshold and installs the stdout logger, once per process.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "module_state.hpp"
#include "sorvel/platform/platform.hpp"
#include "stdout_logger.hpp"

namespace pysorvel {
namespace {

using sorvel::log::Level;

std::optional<Level> level_from_text(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (text == "error") return Level::Error;
  if (text == "info") return Level::Info;
  if (text == "debug") return Level::Debug;
  return std::nullopt;
}

PyObject* enable_log(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState& state = state_of_module(module);
  static const char* keywords[] = {"level", nullptr};
  PyObject* level_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:enable_log", const_cast<char**>(keywords),
                                   &level_object)) {
    return nullptr;
  }
  if (!PyUnicode_Check(level_object)) return raise_not_str("enable_log", "level", level_object);
  try {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(level_object, &size);
    // A lone surrogate has no UTF-8 form, and is no level name either.
    if (utf8 == nullptr && !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    const auto level = utf8 == nullptr
                           ? std::nullopt
                           : level_from_text(std::string(utf8, static_cast<std::size_t>(size)));
    if (!level) {
      PyErr_SetString(PyExc_TypeError, "incorrect level param");
      return nullptr;
    }
    // The threshold changes even when the install below is refused.
    sorvel::log::set_threshold(*level);
    if (!sorvel::log::install(std::make_unique<StdoutLogger>(*level))) {
      return raise_panic(state, "Do not set log multiple times: SetLoggerError(())");
    }
    // A Windows console shows colour codes as text until asked to act on them. A failure is
    // ignored: the colour variables decide, as everywhere.
    if (sorvel::platform::stdout_is_terminal()) {
      (void)sorvel::platform::enable_virtual_terminal_output();
    }
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state);
  }
}

}  // namespace

PyMethodDef kEnableLogDef = {
    "enable_log", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(enable_log)),
    METH_VARARGS | METH_KEYWORDS,
    "enable_log(level)\n--\n\nEnable logging for underlying driver. Available levels are "
    "\"info\", \"debug\" and \"error\""};

}  // namespace pysorvel
