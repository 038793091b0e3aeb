#include "capture_target.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sorvel::usb::detail {
namespace {

CaptureError system_failure(const std::string& path, int code) {
  return {path, code, system_error_from_errno(code).message};
}

CaptureError not_regular(const std::string& path) {
  return {path, 0, std::string(kNotARegularFile)};
}

}  // namespace

Expected<CaptureTarget, CaptureError> open_capture_target(const std::string& path) {
  // Seen before opening, a FIFO or a device is named as what it is rather than by whatever its
  // open would fail with; a directory gives the errno Python names it by.
  struct stat seen {};
  if (::stat(path.c_str(), &seen) == 0) {
    if (S_ISDIR(seen.st_mode)) return unexpected(system_failure(path, EISDIR));
    if (!S_ISREG(seen.st_mode)) return unexpected(not_regular(path));
  }
  // O_NONBLOCK: should the path have become a FIFO meanwhile, opening it does not wait for a
  // reader; it is refused just below. A regular file ignores the flag.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return unexpected(system_failure(path, errno));
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int code = errno;
    ::close(fd);
    return unexpected(system_failure(path, code));
  }
  if (!S_ISREG(opened.st_mode)) {
    ::close(fd);
    return unexpected(not_regular(path));
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int code = errno;
    ::close(fd);
    return unexpected(system_failure(path, code));
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  return CaptureTarget{file, static_cast<std::uint64_t>(opened.st_dev),
                       static_cast<std::uint64_t>(opened.st_ino)};
}

Expected<void, SystemError> resize_capture_target(std::FILE* file, std::uint64_t size) {
  if (::ftruncate(::fileno(file), static_cast<off_t>(size)) != 0 ||
      std::fseek(file, static_cast<long>(size), SEEK_SET) != 0) {
    return unexpected(system_error_from_errno(errno));
  }
  return {};
}

}  // namespace sorvel::usb::detail
