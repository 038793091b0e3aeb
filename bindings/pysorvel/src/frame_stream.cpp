// class FrameStream:
//     def drain(self) -> list[Frame]
//     dropped: int                                (read-only)
//     def close(self) -> None
//     def __enter__(self) -> FrameStream
//     def __exit__(self, *exc_info) -> None
//     def __aiter__(self) -> FrameStream
//     def __anext__(self) -> Awaitable[Frame]
//
// One consumer of every frame the receiver's trackers send, from Sorvel.frames(). The frames
// wait in the consumer's own ring in C++; Frames are made only as the consumer takes them. An
// `async for` that finds the ring empty arms the ring and parks on a future; the report reader
// fires it once, through the bridge's delivery thread, when frames (or the end) arrive. The
// ring has one waker, so one awaitable at a time may park on it; another is refused rather than
// left to wait for a wake-up that would never come.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "bridge.hpp"
#include "heap_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "sorvel/driver/runtime/fork.hpp"

namespace pysorvel {
namespace {

using sorvel::FrameStreamEnd;
using sorvel::StampedFrame;

/// What the report reader calls when a parked consumer has something new.
class StreamSignal final : public sorvel::StreamWaker {
 public:
  void wake() noexcept override { waker.fire(); }
  LoopWaker waker;
};

/// What ties a stream to the report reader.
struct StreamLink {
  std::unique_ptr<sorvel::FrameSubscription> subscription;
  std::shared_ptr<StreamSignal> signal;

  ~StreamLink() {
    subscription.reset();  // first, so that the reader can no longer fire the signal
    signal->waker.clear();
  }
};

struct FrameStreamFields {
  explicit FrameStreamFields(std::unique_ptr<StreamLink> link) : link(std::move(link)) {}
  FrameStreamFields(const FrameStreamFields&) = delete;
  FrameStreamFields& operator=(const FrameStreamFields&) = delete;

  std::unique_ptr<StreamLink> link;
  std::uint64_t generation = sorvel::runtime::process_generation();  ///< that subscribed
  /// The awaitable parked on the signal, if any; borrowed, since it holds the stream.
  PyObject* parked = nullptr;

  ~FrameStreamFields() {
    // An inherited link is leaked on purpose: letting it go would take locks a thread of the
    // parent may have held at the fork.
    if (generation != sorvel::runtime::process_generation()) (void)link.release();
  }
};

/// The awaitable of one __anext__.
struct FrameWaitFields {
  PyRef stream;
};

FrameStreamFields* as_stream(PyObject* self) {
  return &value_of<FrameStreamFields>(self);
}

sorvel::FrameSubscription& subscription_of(PyObject* self) {
  return *as_stream(self)->link->subscription;
}

StreamSignal& signal_of(PyObject* self) {
  return *as_stream(self)->link->signal;
}

PyObject* stream_of_wait(PyObject* self) {
  return value_of<FrameWaitFields>(self).stream.get();
}

ModuleState& state_of(PyObject* self) {
  return state_of_type(Py_TYPE(self));
}

/// Made before a fork and reached in the child: the ring and the lock that guards its
/// subscription belong to the parent's reader, which may have held it at the fork.
bool inherited(PyObject* self) {
  return as_stream(self)->generation != sorvel::runtime::process_generation();
}

/// True, with PanicException set, when the stream was inherited.
bool refused_as_inherited(PyObject* self) {
  if (!inherited(self)) return false;
  raise_panic(state_of(self),
              "this FrameStream was opened by the parent process; open a new one here");
  return true;
}

/// Takes at most `max` frames, each made a Frame and handed to `use(frame)` (a new reference),
/// which returns false on failure. False with an exception set when a Frame could not be made.
template <typename Use>
bool take(PyObject* self, std::size_t max, Use&& use) {
  ModuleState& state = state_of(self);
  bool failed = false;
  subscription_of(self).take(max, [&](const StampedFrame& stamped) {
    PyObject* frame = new_frame(state, stamped);
    failed = frame == nullptr || !use(frame);
    return !failed;
  });
  return !failed;
}

/// Raises what the end of the stream raises in an `async for`; null.
PyObject* raise_end(FrameStreamEnd end) {
  if (end == FrameStreamEnd::ReceiverLost) {
    PyErr_SetString(PyExc_ConnectionError, "receiver lost");
  } else {
    PyErr_SetNone(PyExc_StopAsyncIteration);
  }
  return nullptr;
}

// ---- FrameStream ----

PyObject* stream_drain(PyObject* self, PyObject*) {
  if (refused_as_inherited(self)) return nullptr;
  try {
    auto list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    const bool taken = take(self, SIZE_MAX, [&](PyObject* frame) {
      const int appended = PyList_Append(list.get(), frame);
      Py_DECREF(frame);
      return appended == 0;
    });
    if (!taken) return nullptr;
    return list.release();
  } catch (...) {
    return raise_panic_from_current_exception(state_of(self));
  }
}

PyObject* stream_close(PyObject* self, PyObject*) {
  if (refused_as_inherited(self)) return nullptr;
  try {
    subscription_of(self).close();
    signal_of(self).waker.fire();  // an `async for` parked on it ends now
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state_of(self));
  }
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  if (refused_as_inherited(self)) return nullptr;
  return PyRef::borrow(self).release();
}

PyObject* stream_exit(PyObject* self, PyObject*) {
  return stream_close(self, nullptr);
}

PyObject* stream_get_dropped(PyObject* self, void*) {
  if (refused_as_inherited(self)) return nullptr;
  return PyLong_FromUnsignedLongLong(subscription_of(self).dropped());
}

PyObject* stream_aiter(PyObject* self) {
  return PyRef::borrow(self).release();
}

PyObject* stream_anext(PyObject* self) {
  if (refused_as_inherited(self)) return nullptr;
  return new_instance<FrameWaitFields>(state_of(self).frame_wait_type, PyRef::borrow(self));
}

PyMethodDef kStreamMethods[] = {
    {"drain", stream_drain, METH_NOARGS,
     "drain($self)\n--\n\nThe frames that arrived since the last drain or iteration, oldest "
     "first; never waits."},
    {"close", stream_close, METH_NOARGS,
     "close($self)\n--\n\nEnds this consumer: its buffered frames are let go and an `async for` "
     "over it ends."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", stream_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamGetSet[] = {
    {"dropped", stream_get_dropped, nullptr,
     "Frames dropped so far because this consumer fell behind (the oldest go first); the count "
     "never goes down, close() included.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_doc, const_cast<char*>("Every frame received after Sorvel.frames(), in arrival order.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<FrameStreamFields>)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamGetSet},
    {Py_am_aiter, reinterpret_cast<void*>(stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(stream_anext)},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {
    "pysorvel.FrameStream",
    sizeof(HeapObject<FrameStreamFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kStreamSlots,
};

// ---- The awaitable of one __anext__: its own iterator, as asyncio expects of it. ----

/// Frees the stream for another awaitable if this one is parked on it.
void unpark(PyObject* self) {
  PyObject* stream = stream_of_wait(self);
  if (as_stream(stream)->parked == self) as_stream(stream)->parked = nullptr;
}

void wait_dealloc(PyObject* self) {
  unpark(self);
  dealloc_instance<FrameWaitFields>(self);
}

PyObject* wait_await(PyObject* self) {
  return PyRef::borrow(self).release();
}

/// Finishes the await with the next frame, or with the end; otherwise arms the ring and yields
/// a future to the task, which calls again once the future is resolved.
PyObject* wait_next(PyObject* self) {
  PyObject* stream = stream_of_wait(self);
  if (refused_as_inherited(stream)) return nullptr;
  PyObject*& parked = as_stream(stream)->parked;
  if (parked != nullptr && parked != self) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this FrameStream is already awaited; await one __anext__ at a time");
    return nullptr;
  }
  parked = nullptr;  // parked again below if it must wait once more
  try {
    for (;;) {
      PyRef frame;
      if (!take(stream, 1, [&](PyObject* made) {
            frame = PyRef::steal(made);
            return true;
          })) {
        return nullptr;
      }
      if (frame) {
        PyErr_SetObject(PyExc_StopIteration, frame.get());  // the await's result
        return nullptr;
      }
      sorvel::FrameSubscription& subscription = subscription_of(stream);
      if (const FrameStreamEnd end = subscription.end(); end != FrameStreamEnd::Open)
        return raise_end(end);
      StreamSignal& signal = signal_of(stream);
      auto future = PyRef::steal(signal.waker.wait());
      if (!future) return nullptr;
      if (!subscription.arm()) {
        signal.waker.clear();  // something came meanwhile
        continue;
      }
      // What a future's own __await__ does before it yields itself to the task.
      if (PyObject_SetAttrString(future.get(), "_asyncio_future_blocking", Py_True) < 0) {
        return nullptr;
      }
      parked = self;
      return future.release();
    }
  } catch (...) {
    return raise_panic_from_current_exception(state_of(stream));
  }
}

/// throw(exception): what the task throws in (a cancellation) ends the await there.
PyObject* wait_throw(PyObject* self, PyObject* args) {
  unpark(self);
  PyObject* type = nullptr;
  PyObject* value = Py_None;
  PyObject* traceback = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
  const int is_instance = PyObject_IsInstance(type, PyExc_BaseException);
  if (is_instance < 0) return nullptr;
  if (is_instance == 1) {
    value = type;
    type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    if (traceback != nullptr && traceback != Py_None &&
        PyException_SetTraceback(value, traceback) < 0) {
      return nullptr;
    }
  }
  PyErr_SetObject(type, value);
  return nullptr;
}

/// close(): the awaiting coroutine was closed; the stream is free for another await.
PyObject* wait_close(PyObject* self, PyObject*) {
  unpark(self);
  Py_RETURN_NONE;
}

PyMethodDef kWaitMethods[] = {
    {"throw", wait_throw, METH_VARARGS, nullptr},
    {"close", wait_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWaitSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wait_dealloc)},
    {Py_am_await, reinterpret_cast<void*>(wait_await)},
    {Py_tp_iter, reinterpret_cast<void*>(wait_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(wait_next)},
    {Py_tp_methods, kWaitMethods},
    {0, nullptr},
};

PyType_Spec kWaitSpec = {
    "pysorvel._FrameWait",
    sizeof(HeapObject<FrameWaitFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kWaitSlots,
};

}  // namespace

PyObject* make_frame_stream_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kStreamSpec, nullptr);
}

PyObject* make_frame_wait_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kWaitSpec, nullptr);
}

PyObject* new_frame_stream(ModuleState& state, sorvel::FrameStreams& streams, std::size_t buffer) {
  auto signal = std::make_shared<StreamSignal>();
  auto subscription = streams.subscribe(buffer, signal);
  return new_instance<FrameStreamFields>(
      state.frame_stream_type,
      std::make_unique<StreamLink>(std::move(subscription), std::move(signal)));
}

}  // namespace pysorvel
