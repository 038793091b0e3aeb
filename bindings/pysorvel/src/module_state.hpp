#pragma once
// Per-module state: every Python object the module keeps between calls lives here, never in a
// C++ global.

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "sorvel/trackers/frame_stream.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace pysorvel {

struct ModuleState {
  PyObject* sorvel_type;      ///< the Sorvel class
  PyObject* report_type;      ///< the Report class
  PyObject* panic_exception;  ///< internal failures; derives from BaseException
  PyObject*
      receiver_not_found;       ///< what Sorvel() raises when no receiver is plugged in; an OSError
  PyObject* support_module;     ///< the bridge's support module with its failure class
  PyObject* task_failure;       ///< the exception a bridged task that failed internally delivers
  PyObject* body_part_names;    ///< tuple of the 15 body-part names, index = body part
  PyObject* frame_type;         ///< the Frame class
  PyObject* frame_stream_type;  ///< the FrameStream class
  PyObject* frame_wait_type;    ///< what FrameStream.__anext__ returns
  PyObject* body_type;          ///< the Body class
  PyObject* pose_type;          ///< the Pose class
  PyObject* location_attribute;  ///< "location", the Report attribute Body reads
  PyObject* rot_attribute;       ///< "rot"
};

/// The state of the module `type` was defined in.
ModuleState& state_of_type(PyTypeObject* type);
ModuleState& state_of_module(PyObject* module);

/// Sets PanicException with `message`; returns null for use in a return statement.
PyObject* raise_panic(ModuleState& state, std::string_view message);
/// For catch (...) blocks at entry points: no C++ exception may reach the interpreter.
PyObject* raise_panic_from_current_exception(ModuleState& state);

/// TypeError "f() argument 'name' must be str, not int".
PyObject* raise_not_str(const char* function, const char* argument, PyObject* value);
/// A Python str from UTF-8 text; null with an exception set on failure.
PyObject* to_str(std::string_view text);
/// The text of an error: UTF-8, with any other byte kept as a backslash escape, so that a
/// message quoting what a user wrote still reaches Python.
PyObject* to_message(std::string_view text);
/// Sets `type` with `message` (see to_message); returns null for use in a return statement.
PyObject* raise_message(PyObject* type, std::string_view message);

// Type builders, one per file.
PyObject* make_sorvel_type(PyObject* module);
/// The Report class; new reference or null.
PyObject* make_report_type(PyObject* module);
/// A new Report holding `frame`'s fields; null with an exception set on failure.
PyObject* new_report(ModuleState& state, PyObject* report_type, const sorvel::TrackerFrame& frame);
/// Whether `report` shows `frame`'s values, bit for bit.
bool report_shows(PyObject* report, const sorvel::TrackerFrame& frame);
/// Makes `report` hold `frame` instead, for a Report nobody but its maker can reach any more;
/// false with an exception set on failure (the Report must then not be shown again).
bool refill_report(ModuleState& state, PyObject* report, const sorvel::TrackerFrame& frame);
/// The name of `part` ("Head"), one str per body part for the module's life; borrowed.
PyObject* body_part_name(ModuleState& state, sorvel::BodyPart part);
extern PyMethodDef kEnableLogDef;
extern PyMethodDef kAskVirtualPersonDef;

/// The Frame class; new reference or null.
PyObject* make_frame_type(PyObject* module);
/// `_frame`: a Frame made from a recording's values, for solving it again.
extern PyMethodDef kRecordedFrameDef;
/// A new Frame of `stamped`; null with an exception set on failure.
PyObject* new_frame(ModuleState& state, const sorvel::StampedFrame& stamped);
/// For a Frame, its body part and orientation (w, x, y, z), read without making Python values;
/// false, with nothing set, for anything else.
bool frame_orientation(ModuleState& state, PyObject* object, sorvel::BodyPart& part,
                       std::array<float, 4>& wxyz);
/// The body part called `name` ("Head"); nothing for any other str. `name` must be a str.
std::optional<sorvel::BodyPart> body_part_named(ModuleState& state, PyObject* name);
/// The FrameStream class and its awaitable; new references or null.
PyObject* make_frame_stream_type(PyObject* module);
PyObject* make_frame_wait_type(PyObject* module);
/// A new FrameStream subscribed to `streams` with room for `buffer` frames (at least 1); null
/// with an exception set on failure.
PyObject* new_frame_stream(ModuleState& state, sorvel::FrameStreams& streams, std::size_t buffer);

/// The Body and Pose classes; new references or null.
PyObject* make_body_type(PyObject* module);
PyObject* make_pose_type(PyObject* module);

}  // namespace pysorvel
