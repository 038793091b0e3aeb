#include "report_cache.hpp"

#include "values.hpp"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace pysorvel {

using sorvel::Expected;
using sorvel::LatestFrame;
using sorvel::TrackerFrame;

namespace {

PyObject* raise_type_error(std::string_view message) {
  return raise_message(PyExc_TypeError, message);
}

/// Raises what a failed poll raises; null.
PyObject* raise_failure(
    ModuleState& state,
    const Expected<Expected<void, sorvel::PollFailure>, sorvel::runtime::InternalError>& polled) {
  if (!polled) return raise_panic(state, polled.error().message);
  return raise_type_error(sorvel::message(polled->error()));
}

/// Marks the cache busy for as long as it lives.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyScope() { busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

}  // namespace

class ReportCache::Visitor {
 public:
  explicit Visitor(ReportCache& cache) : cache_(cache) {}

  std::size_t count() const { return count_; }

  void fresh(std::size_t index, const TrackerFrame& frame) {
    Slot& slot = at(index);
    slot.fresh = true;
    slot.renew = true;
    cache_.frames_[index] = frame;
    slot.next_version = LatestFrame::kNoVersion;  // the Report will show a queued frame
  }

  std::uint64_t known_version(std::size_t index) {
    // A version is only meaningful for the cells of the set it was read from.
    if (cache_.slots_generation_ != cache_.cache_.generation()) return LatestFrame::kNoVersion;
    return at(index).version;
  }

  void repeated(std::size_t index, std::uint64_t version, const TrackerFrame* frame) {
    Slot& slot = at(index);
    slot.fresh = false;
    slot.next_version = version;
    // Without a frame the cell still holds the one the slot's Report shows.
    slot.renew = frame != nullptr && (!slot.report || !report_shows(slot.report.get(), *frame));
    if (slot.renew) cache_.frames_[index] = *frame;
  }

 private:
  Slot& at(std::size_t index) {
    if (index == cache_.slots_.size()) {
      cache_.slots_.emplace_back();
      cache_.frames_.emplace_back();
    }
    count_ = index + 1;
    return cache_.slots_[index];
  }

  ReportCache& cache_;
  std::size_t count_ = 0;
};

PyObject* ReportCache::poll(ModuleState& state, sorvel::Driver& driver) {
  if (busy_) return poll_uncached(state, driver);

  Visitor visitor(*this);
  auto polled = driver.poll_each(cache_, visitor);
  if (!polled || !*polled) return raise_failure(state, polled);
  const std::size_t count = visitor.count();
  slots_.resize(count);  // a pairing with fewer trackers: let the others' Reports go
  frames_.resize(count);

  BusyScope busy(busy_);
  auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* pair = pair_of(state, slots_[i], frames_[i]);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals the pair
  }
  // Only now do all slots' versions belong to this generation (a failure above leaves the
  // versions of a new set unused: its next poll compares frames instead).
  slots_generation_ = cache_.generation();
  return list.release();
}

PyObject* ReportCache::pair_of(ModuleState& state, Slot& slot, const TrackerFrame& frame) {
  if (slot.renew) {
    // At a game loop's pace most fresh frames replace a Report the caller let go: refilling it
    // touches memory the slot already holds, where new objects would touch cold memory.
    if (unseen(slot)) {
      if (!refill_report(state, slot.report.get(), frame)) {
        slot = Slot();  // half refilled: never to be shown
        return nullptr;
      }
    } else {
      auto report = PyRef::steal(new_report(state, state.report_type, frame));
      if (!report) return nullptr;
      slot.report = std::move(report);
      slot.repeated = PyRef();
      slot.fresh_pair = PyRef();
    }
    slot.renew = false;
  }
  slot.version = slot.next_version;  // the slot's Report now shows what that version holds
  // A fresh pair is shown once: the tracker's next fresh frame gets another Report, or this
  // one refilled once nobody holds it.
  return slot.fresh ? kept_pair(slot.fresh_pair, slot.report.get(), Py_True)
                    : kept_pair(slot.repeated, slot.report.get(), Py_False);
}

bool ReportCache::unseen(const Slot& slot) {
  if (!slot.report) return false;
  Py_ssize_t holders = 1;  // the slot
  for (const PyRef* pair : {&slot.repeated, &slot.fresh_pair}) {
    if (!*pair) continue;
    if (Py_REFCNT(pair->get()) != 1) return false;
    ++holders;
  }
  return Py_REFCNT(slot.report.get()) == holders;
}

PyObject* ReportCache::kept_pair(PyRef& pair, PyObject* report, PyObject* flag) {
  if (!pair) {
    pair = PyRef::steal(PyTuple_Pack(2, report, flag));
    if (!pair) return nullptr;
    untrack_atoms(pair.get());
  }
  return PyRef::borrow(pair.get()).release();
}

PyObject* ReportCache::poll_uncached(ModuleState& state, sorvel::Driver& driver) {
  sorvel::PollResult frames;
  auto add = [&](const TrackerFrame& frame, bool fresh) { frames.emplace_back(frame, fresh); };
  sorvel::FrameVisitor visitor(add);
  sorvel::Driver::PollCache cache;  // this poll's own: the outer poll's slots go with cache_
  auto polled = driver.poll_each(cache, visitor);
  if (!polled || !*polled) return raise_failure(state, polled);
  auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const auto& [frame, fresh] : frames) {
    auto report = PyRef::steal(new_report(state, state.report_type, frame));
    if (!report) return nullptr;
    PyObject* pair = PyTuple_Pack(2, report.get(), fresh ? Py_True : Py_False);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), index++, pair);  // steals the pair
  }
  return list.release();
}

}  // namespace pysorvel
