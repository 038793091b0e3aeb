#include "read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fmt/format.h>

namespace sorvel::simulator {

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

 private:
  int fd_;
};

std::string errno_text() {
  return std::strerror(errno);
}

// The same checks before opening (so nothing is opened that could block or never end) and after
// (the path may name something else by then).
Expected<void, std::string> check_kind(const struct stat& status, std::size_t max_bytes) {
  if (S_ISDIR(status.st_mode)) return unexpected(std::string("is a directory"));
  if (!S_ISREG(status.st_mode)) return unexpected(std::string("not a regular file"));
  if (static_cast<std::uintmax_t>(status.st_size) > max_bytes) {
    return unexpected(fmt::format("larger than {} bytes", max_bytes));
  }
  return {};
}

}  // namespace

Expected<std::string, std::string> read_regular_file(const std::string& path,
                                                     std::size_t max_bytes) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return unexpected(errno_text());
  if (auto kind = check_kind(status, max_bytes); !kind) return unexpected(kind.error());

  // Non-blocking, so a FIFO put in the file's place since stat cannot hold the open up.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return unexpected(errno_text());
  if (::fstat(file.get(), &status) != 0) return unexpected(errno_text());
  if (auto kind = check_kind(status, max_bytes); !kind) return unexpected(kind.error());

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
      return unexpected(errno_text());
    }
    text.resize(offset + static_cast<std::size_t>(got));
    if (got == 0) return text;
  }
  return unexpected(fmt::format("larger than {} bytes", max_bytes));
}

}  // namespace sorvel::simulator
