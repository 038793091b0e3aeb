#pragma once
// The simulator's own thread, on which every virtual kit's completions and timers run.

#include <asio/io_context.hpp>

namespace sorvel::simulator {

/// The simulator's thread: every kit's completions and timers run here.
asio::io_context& simulator_context();

}  // namespace sorvel::simulator
