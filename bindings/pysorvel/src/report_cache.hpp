#pragma once
// What `Sorvel.poll` returns, made from what it returned before: a tracker that repeats the frame
// it showed last gets the same Report and the same (Report, False) pair again, so a poll that
// finds nothing new allocates only its list.

#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/driver/driver.hpp"
#include "sorvel/trackers/latest_frame.hpp"
#include "sorvel/trackers/tracker_frame.hpp"

namespace pysorvel {

/// One Sorvel's polls: the driver's poll cache and, per tracker, the Report it showed last.
/// Thread safety: guarded by the interpreter lock. Making Python objects may run Python code (a
/// collection, a finalizer) that polls the same Sorvel again; such a poll keeps nothing.
class ReportCache {
 public:
  /// Polls `driver`: the list of (Report, fresh) pairs, or null with an exception set (TypeError
  /// with the failure's text, PanicException for an internal error).
  PyObject* poll(ModuleState& state, sorvel::Driver& driver);

 private:
  /// What a poll reads of every tracker, kept small: at a game loop's pace each line of it is a
  /// cache miss.
  struct Slot {
    PyRef report;      ///< the last Report shown for this tracker, or null
    PyRef repeated;    ///< (report, False), made when first needed
    PyRef fresh_pair;  ///< (report, True), made when first needed
    /// The version of the latest-frame cell whose frame `report` shows, valid for the cache
    /// generation `slots_generation_`, or kNoVersion.
    std::uint64_t version = sorvel::LatestFrame::kNoVersion;
    // This poll's outcome, noted before any Python object is made.
    std::uint64_t next_version = sorvel::LatestFrame::kNoVersion;
    bool fresh = false;
    bool renew = false;  ///< `report` is to show the slot's frame in `frames_`
  };

  /// The driver's visitor: notes each tracker's outcome in its slot, with no Python call.
  class Visitor;

  /// A poll that starts while another is converting: it makes every Report afresh.
  PyObject* poll_uncached(ModuleState& state, sorvel::Driver& driver);
  /// The pair of slot `slot`'s outcome, a new Report of `frame` made first if needed; new
  /// reference.
  PyObject* pair_of(ModuleState& state, Slot& slot, const sorvel::TrackerFrame& frame);
  /// Whether the slot's Report and pairs are held by the slot alone: nobody can tell them apart
  /// from new ones, so a new frame may be shown in them rather than in new objects.
  static bool unseen(const Slot& slot);
  /// `pair`, made of `report` and `flag` unless it was made before; new reference.
  static PyObject* kept_pair(PyRef& pair, PyObject* report, PyObject* flag);

  sorvel::Driver::PollCache cache_;
  std::vector<Slot> slots_;
  std::vector<sorvel::TrackerFrame> frames_;  ///< per slot: the frame a renewed Report shows
  /// The cache generation the slots' versions belong to.
  std::uint64_t slots_generation_ = 0;
  bool busy_ = false;  ///< a poll is converting
};

}  // namespace pysorvel
