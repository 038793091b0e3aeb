#pragma once
// The operating-system side of a capture file: the only system calls capture makes besides
// standard C streams. POSIX in capture_target_posix.cpp; another system gives these two
// functions a source file of its own.

#include <cstdint>
#include <cstdio>
#include <string>

#include "sorvel/driver/system_error.hpp"
#include "sorvel/driver/usb/capture.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::usb::detail {

struct CaptureTarget {
  std::FILE* file = nullptr;  ///< unbuffered: each write reaches the file before it returns
  // Together they name the file for as long as it is open, whichever path reached it.
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

/// Opens `path` for writing, creating it when missing and leaving its contents as they are.
/// Never blocks: anything but a regular file (a FIFO, a device, a directory) is refused, before
/// opening when it can be seen and in any case before the first write.
Expected<CaptureTarget, CaptureError> open_capture_target(const std::string& path);

/// Cuts `file` to `size` bytes: 0 to replace its contents, or back to its last whole record.
Expected<void, SystemError> resize_capture_target(std::FILE* file, std::uint64_t size);

}  // namespace sorvel::usb::detail
