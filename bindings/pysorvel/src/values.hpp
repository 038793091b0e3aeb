#pragma once
// How frame fields become Python values, shared by Report and Frame so that both show a frame
// the same way.

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>

#include "py_ref.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace pysorvel {

/// Takes a new tuple that holds no container (floats, a Report and a bool) out of the cycle
/// collector's lists, as the collector itself would at its next pass. Letting it go later then
/// touches nothing of its neighbours in those lists, which at a game loop's pace are cold.
inline void untrack_atoms(PyObject* tuple) {
  PyObject_GC_UnTrack(tuple);
}

/// A tuple of floats; new reference, or null with an exception set.
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
  untrack_atoms(tuple.get());
  return tuple.release();
}

/// Shortest text that reads back as the same float32, whole numbers with ".0".
std::string float_text(float value);

/// "[1.0, 0.5]": the stored 32-bit values, as the text forms print them.
template <std::size_t N>
std::string list_text(const std::array<float, N>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) text += ", ";
    text += float_text(values[i]);
  }
  return text + "]";
}

/// The orientation as Python shows it: w first.
inline std::array<float, 4> rot_of(const sorvel::TrackerFrame& frame) {
  const auto& q = frame.orientation;  // x, y, z, w
  return {q[3], q[0], q[1], q[2]};
}

}  // namespace pysorvel
