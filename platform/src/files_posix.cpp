#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "sorvel/platform/files.hpp"

namespace sorvel::platform {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

FileError system_error(int code) {
  return {FileError::Kind::System, code};
}

/// Nothing but a regular file passes; a directory is named as such, as callers report it apart.
std::optional<FileError> kind_error(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return FileError{FileError::Kind::Directory, EISDIR};
  if (!S_ISREG(status.st_mode)) return FileError{FileError::Kind::NotRegular, 0};
  return std::nullopt;
}

// The same checks before opening (so nothing is opened that could block or never end) and after
// (the path may name something else by then).
std::optional<FileError> read_check(const struct stat& status, std::size_t max_bytes) {
  if (auto kind = kind_error(status)) return kind;
  if (static_cast<std::uintmax_t>(status.st_size) > max_bytes) {
    return FileError{FileError::Kind::TooLarge, EFBIG};
  }
  return std::nullopt;
}

}  // namespace

std::variant<WritableFile, FileError> open_for_writing(const std::string& path) {
  // Seen before opening, a FIFO or a device is named as what it is rather than by whatever its
  // open would fail with.
  struct stat seen {};
  if (::stat(path.c_str(), &seen) == 0) {
    if (auto kind = kind_error(seen)) return *kind;
  }
  // O_NONBLOCK: should the path have become a FIFO meanwhile, opening it does not wait for a
  // reader; it is refused just below. A regular file ignores the flag.
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd.get() < 0) return system_error(errno);
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) return system_error(errno);
  if (auto kind = kind_error(opened)) return *kind;
  std::FILE* file = ::fdopen(fd.get(), "wb");
  if (file == nullptr) return system_error(errno);
  fd.release();
  std::setvbuf(file, nullptr, _IONBF, 0);
  return WritableFile{file, static_cast<std::uint64_t>(opened.st_dev),
                      static_cast<std::uint64_t>(opened.st_ino)};
}

int resize_file(std::FILE* file, std::uint64_t size) {
  if (::ftruncate(::fileno(file), static_cast<off_t>(size)) != 0 ||
      ::fseeko(file, static_cast<off_t>(size), SEEK_SET) != 0) {
    return errno;
  }
  return 0;
}

std::variant<std::string, FileError> read_regular_file(const std::string& path,
                                                       std::size_t max_bytes) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return system_error(errno);
  if (auto error = read_check(status, max_bytes)) return *error;

  // Non-blocking, so a FIFO put in the file's place since stat cannot hold the open up.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return system_error(errno);
  if (::fstat(file.get(), &status) != 0) return system_error(errno);
  if (auto error = read_check(status, max_bytes)) return *error;

  // The file may still grow (or claim size 0 and have content, as /proc files do): read one byte
  // past the limit at most, to know it was passed.
  std::string text;
  constexpr std::size_t kChunk = 64 * 1024;
  while (text.size() <= max_bytes) {
    const std::size_t offset = text.size();
    const std::size_t wanted = std::min(kChunk, max_bytes + 1 - offset);
    text.resize(offset + wanted);
    const ssize_t got = ::read(file.get(), text.data() + offset, wanted);
    if (got < 0) {
      text.resize(offset);
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    text.resize(offset + static_cast<std::size_t>(got));
    if (got == 0) return text;
  }
  return FileError{FileError::Kind::TooLarge, EFBIG};
}

}  // namespace sorvel::platform
