#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>

#include "sorvel/platform/files.hpp"

// The C runtime's descriptors, not Win32 handles: its functions set errno, so errors read the same
// as on POSIX, and capture writes through a std::FILE either way.
namespace sorvel::platform {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::_close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

FileError system_error(int code) {
  return {FileError::Kind::System, code};
}

std::optional<FileError> kind_error(const struct _stat64& status) {
  if ((status.st_mode & _S_IFMT) == _S_IFDIR) return FileError{FileError::Kind::Directory, EISDIR};
  if ((status.st_mode & _S_IFMT) != _S_IFREG) return FileError{FileError::Kind::NotRegular, 0};
  return std::nullopt;
}

std::optional<FileError> read_check(const struct _stat64& status, std::size_t max_bytes) {
  if (auto kind = kind_error(status)) return kind;
  if (static_cast<std::uintmax_t>(status.st_size) > max_bytes) {
    return FileError{FileError::Kind::TooLarge, EFBIG};
  }
  return std::nullopt;
}

}  // namespace

std::variant<WritableFile, FileError> open_for_writing(const std::string& path) {
  // A directory cannot be opened at all here (EACCES): seen first, it is named as what it is.
  struct _stat64 seen {};
  if (::_stat64(path.c_str(), &seen) == 0) {
    if (auto kind = kind_error(seen)) return *kind;
  }
  FileDescriptor fd(
      ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE));
  if (fd.get() < 0) return system_error(errno);
  struct _stat64 opened {};
  if (::_fstat64(fd.get(), &opened) != 0) return system_error(errno);
  if (auto kind = kind_error(opened)) return *kind;
  // _fstat64 has no file index (st_ino is 0): the handle's own information names the file.
  BY_HANDLE_FILE_INFORMATION info{};
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd.get()));
  if (handle == INVALID_HANDLE_VALUE || ::GetFileInformationByHandle(handle, &info) == 0) {
    return system_error(EIO);
  }
  std::FILE* file = ::_fdopen(fd.get(), "wb");
  if (file == nullptr) return system_error(errno);
  fd.release();
  std::setvbuf(file, nullptr, _IONBF, 0);
  return WritableFile{file, info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

int resize_file(std::FILE* file, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(LLONG_MAX)) return EFBIG;
  const auto offset = static_cast<long long>(size);
  if (const errno_t code = ::_chsize_s(::_fileno(file), offset); code != 0) return code;
  if (::_fseeki64(file, offset, SEEK_SET) != 0) return errno;
  return 0;
}

std::variant<std::string, FileError> read_regular_file(const std::string& path,
                                                       std::size_t max_bytes) {
  struct _stat64 status {};
  if (::_stat64(path.c_str(), &status) != 0) return system_error(errno);
  if (auto error = read_check(status, max_bytes)) return *error;

  const FileDescriptor file(::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
  if (file.get() < 0) return system_error(errno);
  if (::_fstat64(file.get(), &status) != 0) return system_error(errno);
  if (auto error = read_check(status, max_bytes)) return *error;

  // As on POSIX: the file may grow after the check, so one byte past the limit at most.
  std::string text;
  constexpr std::size_t kChunk = 64 * 1024;
  while (text.size() <= max_bytes) {
    const std::size_t offset = text.size();
    const std::size_t wanted = std::min(kChunk, max_bytes + 1 - offset);
    text.resize(offset + wanted);
    const int got = ::_read(file.get(), text.data() + offset, static_cast<unsigned>(wanted));
    if (got < 0) return system_error(errno);
    text.resize(offset + static_cast<std::size_t>(got));
    if (got == 0) return text;
  }
  return FileError{FileError::Kind::TooLarge, EFBIG};
}

}  // namespace sorvel::platform
