#pragma once
// Reading a small regular file whose path comes from outside (the environment), without trusting
// what the path names: a directory, a FIFO or a device must fail at once, never block or run on.

#include <cstddef>
#include <string>

#include "sorvel/protocol/expected.hpp"

namespace sorvel::simulator {

/// The whole content of the regular file at `path`, of at most `max_bytes` bytes. The error is
/// the cause alone ("is a directory", "not a regular file", "larger than N bytes", or the
/// system's text of errno), for the caller to put in context. Never blocks on a FIFO swapped in
/// for the file and never reads more than `max_bytes` + 1 bytes.
Expected<std::string, std::string> read_regular_file(const std::string& path,
                                                     std::size_t max_bytes);

}  // namespace sorvel::simulator
