// Async bridge: a driver computation runs as a task on the runtime; a watching task turns its
// end into an outcome, and one delivery thread hands that outcome to the Python future through
// `loop.call_soon_threadsafe`, in the context copied at call time.
//
// Deliveries take the interpreter lock on a thread of their own rather than on runtime workers:
// a Python thread may hold the lock while it blocks on the runtime (constructor, poll), and a
// worker waiting for the lock there could be one that thread needs.

#include "bridge.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "py_ref.hpp"
#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/driver/runtime/runtime.hpp"
#include "sorvel/driver/runtime/task.hpp"

namespace pysorvel {
namespace {

using sorvel::DriverResult;
using sorvel::runtime::Task;

constexpr std::string_view kFailurePrefix = "background task failed: ";

// ---- Cancellation: Python's done-callback fires it, possibly before the task exists. ----

class CancelSignal {
 public:
  void fire() {
    std::function<void()> cancel;
    {
      std::lock_guard lock(mutex_);
      if (fired_) return;
      fired_ = true;
      cancel = cancel_;
    }
    if (cancel) cancel();
  }

  void arm(std::function<void()> cancel) {
    bool fired = false;
    {
      std::lock_guard lock(mutex_);
      cancel_ = cancel;
      fired = fired_;
    }
    if (fired) cancel();
  }

 private:
  std::mutex mutex_;
  bool fired_ = false;
  std::function<void()> cancel_;
};

constexpr const char* kCancelCapsule = "pysorvel.cancel_signal";

void destroy_cancel_capsule(PyObject* capsule) {
  delete static_cast<std::shared_ptr<CancelSignal>*>(PyCapsule_GetPointer(capsule, kCancelCapsule));
}

// on_done(future): fires the cancel signal when Python cancelled the future.
PyObject* on_future_done(PyObject* capsule, PyObject* future) {
  auto* signal =
      static_cast<std::shared_ptr<CancelSignal>*>(PyCapsule_GetPointer(capsule, kCancelCapsule));
  if (signal == nullptr) return nullptr;
  auto cancelled = PyRef::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  const int is_cancelled = PyObject_IsTrue(cancelled.get());
  if (is_cancelled < 0) return nullptr;
  if (is_cancelled == 1) {
    try {
      (*signal)->fire();
    } catch (const std::exception& error) {
      return raise_message(PyExc_RuntimeError, error.what());
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef kOnDoneDef = {"_on_done", on_future_done, METH_O, nullptr};

// ---- Delivery, on the loop's thread: deliver((future, exception_or_None)). ----

PyObject* deliver(PyObject* pair, PyObject*) {
  PyObject* future = PyTuple_GetItem(pair, 0);
  PyObject* exception = PyTuple_GetItem(pair, 1);
  if (future == nullptr || exception == nullptr) return nullptr;
  // Python may have cancelled the future after the worker looked.
  auto cancelled = PyRef::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  const int is_cancelled = PyObject_IsTrue(cancelled.get());
  if (is_cancelled < 0) return nullptr;
  if (is_cancelled == 1) Py_RETURN_NONE;
  auto result = exception == Py_None
                    ? PyRef::steal(PyObject_CallMethod(future, "set_result", "(O)", Py_None))
                    : PyRef::steal(PyObject_CallMethod(future, "set_exception", "(O)", exception));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef kDeliverDef = {"_deliver", deliver, METH_NOARGS, nullptr};

// ---- Outcomes and the Python side of a bridged call. ----

struct Succeeded {};
struct DriverFailed {
  std::string message;
};
struct TaskFailed {
  std::string text;
};
struct Dropped {};
using Outcome = std::variant<Succeeded, DriverFailed, TaskFailed, Dropped>;

/// The Python objects of one bridged call. Their references are dropped only with the
/// interpreter lock held; when Python is shutting down they are deliberately leaked.
struct PendingCall {
  PyObject* loop = nullptr;
  PyObject* future = nullptr;
  PyObject* context = nullptr;
  PyObject* failure_class = nullptr;

  void release_with_gil() {
    Py_CLEAR(loop);
    Py_CLEAR(future);
    Py_CLEAR(context);
    Py_CLEAR(failure_class);
  }
};

PyRef exception_for(const PendingCall& call, const Outcome& outcome) {
  if (const auto* failed = std::get_if<DriverFailed>(&outcome)) {
    auto message = PyRef::steal(to_message(failed->message));
    if (!message) return message;
    return PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  }
  if (const auto* failed = std::get_if<TaskFailed>(&outcome)) {
    std::string text(kFailurePrefix);
    text += failed->text.empty() ? "unknown error" : failed->text;
    auto message = PyRef::steal(to_message(text));
    if (!message) return message;
    return PyRef::steal(PyObject_CallFunctionObjArgs(call.failure_class, message.get(), nullptr));
  }
  return PyRef::borrow(Py_None);
}

/// With the interpreter lock: schedules `deliver` on the loop unless the future is cancelled.
/// Any failure (a closed loop) is printed the standard way and otherwise ignored.
void schedule_delivery(const PendingCall& call, const Outcome& outcome) {
  if (std::holds_alternative<Dropped>(outcome)) return;
  auto cancelled = PyRef::steal(PyObject_CallMethod(call.future, "cancelled", nullptr));
  if (!cancelled) {
    PyErr_WriteUnraisable(call.future);
    return;
  }
  if (PyObject_IsTrue(cancelled.get()) == 1) return;
  auto exception = exception_for(call, outcome);
  if (!exception) {
    PyErr_WriteUnraisable(call.future);
    return;
  }
  auto pair = PyRef::steal(PyTuple_Pack(2, call.future, exception.get()));
  auto callback = pair ? PyRef::steal(PyCFunction_New(&kDeliverDef, pair.get())) : PyRef();
  auto schedule = PyRef::steal(PyObject_GetAttrString(call.loop, "call_soon_threadsafe"));
  auto args = callback ? PyRef::steal(PyTuple_Pack(1, callback.get())) : PyRef();
  auto kwargs = PyRef::steal(PyDict_New());
  if (!schedule || !args || !kwargs ||
      PyDict_SetItemString(kwargs.get(), "context", call.context) < 0) {
    PyErr_WriteUnraisable(call.loop);
    return;
  }
  auto handle = PyRef::steal(PyObject_Call(schedule.get(), args.get(), kwargs.get()));
  if (!handle) PyErr_WriteUnraisable(schedule.get());
}

// ---- The delivery thread and the shutdown guard. ----

/// Releases the interpreter lock for a scope, and takes it back on every way out.
class ReleasedGil {
 public:
  ReleasedGil() : thread_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

}  // namespace

/// One delivery, linked into the delivery thread's queue without a further allocation.
struct Job {
  std::shared_ptr<PendingCall> call;
  Outcome outcome;
  Job* next = nullptr;
};

namespace {

class Deliveries {
 public:
  /// One per process: a forked child has no delivery thread, and its parent's queue may be
  /// mid-change; the parent's pending jobs belong to the parent's futures. Leaked: the thread
  /// below may still run while static objects are destroyed at exit.
  static Deliveries& instance() { return sorvel::runtime::per_process<Deliveries>(); }

  /// Starts the delivery thread unless it runs. Whatever is posted before waits for it.
  /// Thread safety: a Python thread, before it hands out anything that posts.
  void start() {
    if (thread_started_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (thread_started_.load(std::memory_order_relaxed)) return;
    std::thread([this] { run(); }).detach();
    thread_started_.store(true, std::memory_order_release);
  }

  /// Queues `job` and wakes the delivery thread: no lock, no allocation, nothing that can fail,
  /// so a driver thread may post from a callback or a destructor.
  void post(std::unique_ptr<Job> job) noexcept {
    Job* node = job.release();
    node->next = queued_.load(std::memory_order_relaxed);
    while (!queued_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    posts_.fetch_add(1, std::memory_order_release);
    posts_.notify_one();
  }

  /// atexit, interpreter lock held: stops further deliveries and waits for those already
  /// admitted, which need the lock, so it is released meanwhile.
  void shut_down() {
    ReleasedGil released;
    std::unique_lock lock(mutex_);
    finalizing_ = true;
    changed_.wait(lock, [this] { return in_flight_ == 0; });
  }

 private:
  /// Everything posted so far, oldest first; waits while there is nothing.
  Job* take_all() {
    for (;;) {
      const std::uint32_t seen = posts_.load(std::memory_order_acquire);
      Job* newest = queued_.exchange(nullptr, std::memory_order_acquire);
      if (newest == nullptr) {
        posts_.wait(seen, std::memory_order_acquire);
        continue;
      }
      Job* oldest = nullptr;
      while (newest != nullptr) {
        Job* next = std::exchange(newest->next, oldest);
        oldest = std::exchange(newest, next);
      }
      return oldest;
    }
  }

  void run() {
    for (;;) {
      Job* jobs = take_all();
      while (jobs != nullptr) {
        std::unique_ptr<Job> job(std::exchange(jobs, jobs->next));
        deliver(*job);
      }
    }
  }

  void deliver(Job& job) {
    {
      std::lock_guard lock(mutex_);
      // Past this point Python may be finalising: the job's references are leaked.
      if (finalizing_) return;
      ++in_flight_;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    try {
      schedule_delivery(*job.call, job.outcome);
    } catch (...) {
      // Out of memory while building the exception text: the future stays pending.
      PyErr_Clear();
    }
    job.call->release_with_gil();
    job.call.reset();
    PyGILState_Release(gil);
    {
      std::lock_guard lock(mutex_);
      --in_flight_;
    }
    changed_.notify_all();
  }

  std::atomic<Job*> queued_{nullptr};  ///< newest first
  std::atomic<std::uint32_t> posts_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> thread_started_{false};  ///< set under mutex_
  bool finalizing_ = false;                  ///< guarded by mutex_
  int in_flight_ = 0;                        ///< guarded by mutex_
};

/// Awaits the computation's task and posts its outcome.
asio::awaitable<void> watch(Task<DriverResult<void>> task, std::shared_ptr<PendingCall> call) {
  auto result = co_await task.join();
  Outcome outcome = Succeeded{};
  if (!result) {
    if (result.error().is_cancelled()) {
      outcome = Dropped{};
    } else {
      outcome = TaskFailed{result.error().failure.message};
    }
  } else if (!*result) {
    outcome = DriverFailed{result->error().message()};
  }
  Deliveries::instance().post(std::make_unique<Job>(Job{std::move(call), std::move(outcome)}));
}

PyObject* shutdown_hook(PyObject*, PyObject*) {
  try {
    Deliveries::instance().shut_down();
  } catch (const std::exception& error) {
    return raise_message(PyExc_RuntimeError, error.what());
  }
  Py_RETURN_NONE;
}

PyObject* call_module_function(const char* module_name, const char* function) {
  auto module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return nullptr;
  return PyObject_CallMethod(module.get(), function, nullptr);
}

PyModuleDef kSupportDef = {
    PyModuleDef_HEAD_INIT,
    "pysorvel_runtime",
    "Support module of the pysorvel background runtime.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMethodDef kShutdownHookDef = {"_pysorvel_shutdown", shutdown_hook, METH_NOARGS, nullptr};

PyObject* bridge(ModuleState& state, asio::awaitable<DriverResult<void>> computation) {
  auto loop = PyRef::steal(call_module_function("asyncio", "get_running_loop"));
  if (!loop) return nullptr;
  auto context = PyRef::steal(call_module_function("contextvars", "copy_context"));
  if (!context) return nullptr;
  auto future = PyRef::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) return nullptr;

  auto signal = std::make_shared<CancelSignal>();
  auto capsule = PyRef::steal(PyCapsule_New(new std::shared_ptr<CancelSignal>(signal),
                                            kCancelCapsule, destroy_cancel_capsule));
  if (!capsule) return nullptr;
  auto on_done = PyRef::steal(PyCFunction_New(&kOnDoneDef, capsule.get()));
  if (!on_done) return nullptr;
  auto added =
      PyRef::steal(PyObject_CallMethod(future.get(), "add_done_callback", "(O)", on_done.get()));
  if (!added) return nullptr;

  auto runtime = sorvel::runtime::Runtime::get();
  if (!runtime) return raise_panic(state, runtime.error().message);
  Deliveries::instance().start();

  auto call = std::make_shared<PendingCall>();
  call->loop = PyRef::borrow(loop.get()).release();
  call->future = PyRef::borrow(future.get()).release();
  call->context = context.release();
  call->failure_class = PyRef::borrow(state.task_failure).release();

  auto task = sorvel::runtime::spawn(std::move(computation));
  signal->arm([task]() mutable { task.cancel(); });
  // The watcher's handle is dropped: it runs detached until it has posted the outcome.
  (void)sorvel::runtime::spawn(watch(std::move(task), std::move(call)));
  return future.release();
}

LoopWaker::LoopWaker() = default;

LoopWaker::~LoopWaker() {
  delete waiter_.load(std::memory_order_acquire);
}

PyObject* LoopWaker::wait() {
  auto loop = PyRef::steal(call_module_function("asyncio", "get_running_loop"));
  if (!loop) return nullptr;
  auto future = PyRef::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) return nullptr;
  // Everything `fire` needs is made here, where a failure is an exception for the caller.
  Deliveries::instance().start();
  auto waiter = std::make_unique<Job>(Job{std::make_shared<PendingCall>(), Succeeded{}});
  waiter->call->loop = PyRef::borrow(loop.get()).release();
  waiter->call->future = PyRef::borrow(future.get()).release();
  // The delivery only sets None: any context will do.
  waiter->call->context = PyRef::borrow(Py_None).release();
  std::unique_ptr<Job> previous(waiter_.exchange(waiter.release(), std::memory_order_acq_rel));
  if (previous) previous->call->release_with_gil();
  return future.release();
}

void LoopWaker::fire() noexcept {
  if (std::unique_ptr<Job> waiter{waiter_.exchange(nullptr, std::memory_order_acq_rel)}) {
    Deliveries::instance().post(std::move(waiter));
  }
}

void LoopWaker::clear() {
  std::unique_ptr<Job> waiter(waiter_.exchange(nullptr, std::memory_order_acq_rel));
  if (waiter) waiter->call->release_with_gil();
}

PyObject* make_support_module() {
  if (PyObject* existing = PyState_FindModule(&kSupportDef))
    return PyRef::borrow(existing).release();
  auto module = PyRef::steal(PyModule_Create(&kSupportDef));
  if (!module) return nullptr;
  auto failure = PyRef::steal(PyErr_NewExceptionWithDoc(
      "pysorvel_runtime.TaskFailure", "A background task of pysorvel failed internally.",
      PyExc_Exception, nullptr));
  if (!failure || PyModule_AddObjectRef(module.get(), "TaskFailure", failure.get()) < 0 ||
      PyState_AddModule(module.get(), &kSupportDef) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace pysorvel

PyMODINIT_FUNC PyInit_pysorvel_runtime() {
  return pysorvel::make_support_module();
}
