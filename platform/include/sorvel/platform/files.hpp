#pragma once
// The file operations of the core that the standard library cannot make safely: paths come from
// the environment and may name a directory, a FIFO or a device, which must fail at once rather
// than block or run on. POSIX in files_posix.cpp, Windows in files_windows.cpp. Errors are errno
// codes on both (the Windows C runtime sets errno too), for callers to name or map.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <variant>

namespace sorvel::platform {

/// Why a file operation failed.
struct FileError {
  enum class Kind : std::uint8_t {
    System,      ///< the system refused; `code` says why
    Directory,   ///< the path names a directory
    NotRegular,  ///< the path names something else that is no regular file (FIFO, device)
    TooLarge,    ///< the file holds more bytes than allowed
  };
  Kind kind = Kind::System;
  /// An errno value: the system's for System, EISDIR for Directory, EFBIG for TooLarge, 0 for
  /// NotRegular.
  int code = 0;

  bool operator==(const FileError&) const = default;
};

/// A file open for writing, and what names it for as long as it is open, whichever path reached
/// it (device and inode on POSIX; volume serial number and file index on Windows).
struct WritableFile {
  std::FILE* file = nullptr;  ///< unbuffered: each write reaches the file before it returns
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

/// Opens the regular file at `path` for writing, creating it when missing and leaving its
/// contents as they are. Never blocks: a directory or anything else that is no regular file is
/// refused, before opening when it can be seen and in any case before the first write. The caller
/// owns `file` (std::fclose).
std::variant<WritableFile, FileError> open_for_writing(const std::string& path);

/// Cuts (or extends) `file` to `size` bytes and puts its position there. Returns 0, or the errno
/// of the failure.
int resize_file(std::FILE* file, std::uint64_t size);

/// The whole content of the regular file at `path`, of at most `max_bytes` bytes. Never blocks on
/// a FIFO swapped in for the file and never reads more than `max_bytes` + 1 bytes, so a file that
/// grows, or that claims a smaller size than it has, still stops at the limit.
std::variant<std::string, FileError> read_regular_file(const std::string& path,
                                                       std::size_t max_bytes);

}  // namespace sorvel::platform
