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
// fires it once, through the bridge's delivery thread, when frames (or the end) arrive.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "bridge.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"

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

struct FrameStreamObject {
  PyObject_HEAD std::unique_ptr<sorvel::FrameSubscription> subscription;
  std::shared_ptr<StreamSignal> signal;
};

/// The awaitable of one __anext__.
struct FrameWaitObject {
  PyObject_HEAD PyObject* stream;
};

FrameStreamObject* as_stream(PyObject* self) {
  return reinterpret_cast<FrameStreamObject*>(self);
}

ModuleState& state_of(PyObject* self) {
  return state_of_type(Py_TYPE(self));
}

/// Takes at most `max` frames, each made a Frame and handed to `use(frame)` (a new reference),
/// which returns false on failure. False with an exception set when a Frame could not be made.
template <typename Use>
bool take(PyObject* self, std::size_t max, Use&& use) {
  ModuleState& state = state_of(self);
  bool failed = false;
  as_stream(self)->subscription->take(max, [&](const StampedFrame& stamped) {
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

PyObject* stream_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FrameStream");
  return nullptr;
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FrameStreamObject& stream = *as_stream(self);
  // The subscription goes first, so that the reader can no longer fire the signal.
  stream.subscription.~unique_ptr();
  stream.signal->waker.clear();
  stream.signal.~shared_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* stream_drain(PyObject* self, PyObject*) {
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
  try {
    as_stream(self)->subscription->close();
    as_stream(self)->signal->waker.fire();  // an `async for` parked on it ends now
    Py_RETURN_NONE;
  } catch (...) {
    return raise_panic_from_current_exception(state_of(self));
  }
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  return PyRef::borrow(self).release();
}

PyObject* stream_exit(PyObject* self, PyObject*) {
  return stream_close(self, nullptr);
}

PyObject* stream_get_dropped(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_stream(self)->subscription->dropped());
}

PyObject* stream_aiter(PyObject* self) {
  return PyRef::borrow(self).release();
}

PyObject* stream_anext(PyObject* self) {
  auto* type = reinterpret_cast<PyTypeObject*>(state_of(self).frame_wait_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* wait = alloc(type, 0);
  if (wait == nullptr) return nullptr;
  reinterpret_cast<FrameWaitObject*>(wait)->stream = PyRef::borrow(self).release();
  return wait;
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
     "Frames dropped so far because this consumer fell behind (the oldest go first).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_doc, const_cast<char*>("Every frame received after Sorvel.frames(), in arrival order.")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamGetSet},
    {Py_am_aiter, reinterpret_cast<void*>(stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(stream_anext)},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {
    "pysorvel.FrameStream",
    sizeof(FrameStreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kStreamSlots,
};

// ---- The awaitable of one __anext__: its own iterator, as asyncio expects of it. ----

void wait_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<FrameWaitObject*>(self)->stream);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* wait_await(PyObject* self) {
  return PyRef::borrow(self).release();
}

/// Finishes the await with the next frame, or with the end; otherwise arms the ring and yields
/// a future to the task, which calls again once the future is resolved.
PyObject* wait_next(PyObject* self) {
  PyObject* stream = reinterpret_cast<FrameWaitObject*>(self)->stream;
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
      sorvel::FrameSubscription& subscription = *as_stream(stream)->subscription;
      if (const FrameStreamEnd end = subscription.end(); end != FrameStreamEnd::Open)
        return raise_end(end);
      StreamSignal& signal = *as_stream(stream)->signal;
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
      return future.release();
    }
  } catch (...) {
    return raise_panic_from_current_exception(state_of(stream));
  }
}

PyObject* wait_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FrameStream awaitables");
  return nullptr;
}

PyType_Slot kWaitSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(wait_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wait_dealloc)},
    {Py_am_await, reinterpret_cast<void*>(wait_await)},
    {Py_tp_iter, reinterpret_cast<void*>(wait_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(wait_next)},
    {0, nullptr},
};

PyType_Spec kWaitSpec = {
    "pysorvel._FrameWait",
    sizeof(FrameWaitObject),
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
  auto* type = reinterpret_cast<PyTypeObject*>(state.frame_stream_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_stream(self)->subscription) std::unique_ptr(std::move(subscription));
  new (&as_stream(self)->signal) std::shared_ptr(std::move(signal));
  return self;
}

}  // namespace pysorvel
