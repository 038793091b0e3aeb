#pragma once
// The process-wide background runtime: one io_context driven by a pool of worker threads. It is
// built on first use and deliberately never torn down, so nothing at process exit joins a
// worker or destroys a context that handlers still run on. A forked child builds a runtime of its
// own on first use: its parent's workers do not exist there.

#include <cstddef>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "sorvel/driver/runtime/internal_error.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::runtime {

class Runtime {
 public:
  using executor_type = asio::io_context::executor_type;

  /// The process's runtime, built by the first call: one worker per hardware thread, at least
  /// two. Fails only when no worker thread could be started; the failure is then final (in this
  /// process; a forked child tries again).
  /// Thread safety: may be called from any thread, concurrently.
  static Expected<Runtime*, InternalError> get();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  executor_type get_executor() noexcept { return context_.get_executor(); }
  std::size_t thread_count() const noexcept { return thread_count_; }

 private:
  Runtime() = default;
  ~Runtime() = default;  // never called: the instance is leaked on purpose
  static Expected<Runtime*, InternalError> build();
  void work();

  asio::io_context context_;
  // Never reset: the workers must not run out of work while no task is pending.
  asio::executor_work_guard<executor_type> work_{context_.get_executor()};
  std::size_t thread_count_ = 0;
};

/// True on the runtime's worker threads, where blocking calls are refused.
bool on_runtime_thread() noexcept;

}  // namespace sorvel::runtime
