#include "simulator_thread.hpp"

#include <mutex>
#include <thread>

#include <asio/executor_work_guard.hpp>

#include "sorvel/driver/runtime/fork.hpp"

namespace sorvel::simulator {

namespace {
/// Like a USB event thread: started on first use and left running until the process ends. A
/// forked child starts its own; its parent's kits stay frozen there.
struct SimulatorThread {
  std::once_flag started;
  asio::io_context* io = nullptr;
};
}  // namespace

asio::io_context& simulator_context() {
  auto& simulator = runtime::per_process<SimulatorThread>();
  std::call_once(simulator.started, [&] {
    simulator.io = new asio::io_context(1);
    std::thread([io = simulator.io] {
      auto guard = asio::make_work_guard(*io);
      io->run();
    }).detach();
  });
  return *simulator.io;
}

}  // namespace sorvel::simulator
