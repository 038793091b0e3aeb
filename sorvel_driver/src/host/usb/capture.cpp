#include "sorvel/driver/usb/capture.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/log/log.hpp"
#include "sorvel/platform/files.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel::usb {
namespace {

// usbmon's transfer types differ from the descriptor's bmAttributes encoding.
std::uint8_t usbmon_transfer_type(std::optional<EndpointType> type) {
  switch (type.value_or(EndpointType::Bulk)) {
    case EndpointType::Isochronous:
      return 0;
    case EndpointType::Interrupt:
      return 1;
    case EndpointType::Control:
      return 2;
    case EndpointType::Bulk:
      return 3;
  }
  return 3;
}

template <typename T>
void put(std::vector<std::uint8_t>& out, std::size_t offset, T value) {
  std::memcpy(out.data() + offset, &value, sizeof value);  // host byte order, as usbmon writes
}

constexpr std::size_t kPcapRecordHeaderSize = 16;
constexpr std::uint32_t kPcapSnapLength = 262144;

/// Records a continuous read transfer by transfer, as submit_in records single ones, then hands
/// each transfer on to the reader's own sink.
class CapturingSink final : public StreamSink {
 public:
  CapturingSink(std::shared_ptr<StreamSink> inner, std::weak_ptr<CaptureFile> file,
                std::uint8_t device, std::uint8_t endpoint, std::optional<EndpointType> type,
                std::size_t length)
      : inner_(std::move(inner)),
        file_(std::move(file)),
        urb_{0, device, endpoint, type},
        length_(length) {}

  void on_submit() override {
    recorded_ = false;
    if (auto open = file_.lock()) {
      urb_.id = open->next_urb_id();
      open->write_submission(urb_, length_, {});
      recorded_ = true;
    }
    inner_->on_submit();
  }

  void on_transfer(std::span<const std::uint8_t> data) override {
    complete(0, data);
    inner_->on_transfer(data);
  }

  void on_end(TransferError error) override {
    // A stream cancelled between two transfers ends with none in flight: nothing to complete.
    complete(usbmon_status(error), {});
    inner_->on_end(error);
  }

 private:
  void complete(int status, std::span<const std::uint8_t> data) {
    if (!std::exchange(recorded_, false)) return;
    if (auto open = file_.lock()) open->write_completion(urb_, status, data.size(), data);
  }

  std::shared_ptr<StreamSink> inner_;
  std::weak_ptr<CaptureFile> file_;  // a stream does not keep the file open, as transfers do not
  CaptureFile::Urb urb_;             // of the transfer in flight
  std::size_t length_;
  bool recorded_ = false;  // the transfer in flight has its submission record
};

class CapturingInterface final : public Interface {
 public:
  CapturingInterface(std::shared_ptr<Interface> inner, std::shared_ptr<CaptureFile> file,
                     std::uint8_t device)
      : inner_(std::move(inner)), file_(std::move(file)), device_(device) {}

  std::uint8_t number() const override { return inner_->number(); }

  Expected<void, SystemError> select_alternate_setting(std::uint8_t setting) override {
    return inner_->select_alternate_setting(setting);
  }

  std::optional<EndpointType> endpoint_type(std::uint8_t endpoint) const override {
    return inner_->endpoint_type(endpoint);
  }

  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                             TransferCallback done) override {
    const CaptureFile::Urb urb = next_urb(endpoint);
    // Written before submitting: the completion may be recorded on another thread at once.
    file_->write_submission(urb, length, {});
    return inner_->submit_in(
        endpoint, length, [file = weak_file(), urb, done = std::move(done)](TransferResult result) {
          if (auto open = file.lock()) {
            open->write_completion(urb, usbmon_status(result.error), result.data.size(),
                                   result.data);
          }
          done(std::move(result));
        });
  }

  std::shared_ptr<PendingTransfer> read_stream(std::uint8_t endpoint, std::size_t length,
                                               std::shared_ptr<StreamSink> sink) override {
    return inner_->read_stream(
        endpoint, length,
        std::make_shared<CapturingSink>(std::move(sink), weak_file(), device_, endpoint,
                                        inner_->endpoint_type(endpoint), length));
  }

  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t endpoint,
                                              std::vector<std::uint8_t> bytes,
                                              TransferCallback done) override {
    const CaptureFile::Urb urb = next_urb(endpoint);
    const std::size_t length = bytes.size();
    file_->write_submission(urb, length, bytes);
    return inner_->submit_out(
        endpoint, std::move(bytes),
        [file = weak_file(), urb, length, done = std::move(done)](TransferResult result) {
          if (auto open = file.lock()) {
            open->write_completion(urb, usbmon_status(result.error), result.ok() ? length : 0, {});
          }
          done(std::move(result));
        });
  }

 private:
  // A completion that comes after every handle of the receiver is gone is recorded nowhere:
  // the backend may keep a finished callback for a while, and it must not keep the file open.
  std::weak_ptr<CaptureFile> weak_file() const { return file_; }

  CaptureFile::Urb next_urb(std::uint8_t endpoint) const {
    return {file_->next_urb_id(), device_, endpoint, inner_->endpoint_type(endpoint)};
  }

  std::shared_ptr<Interface> inner_;
  std::shared_ptr<CaptureFile> file_;
  std::uint8_t device_;
};

class CapturingDevice final : public Device {
 public:
  CapturingDevice(std::shared_ptr<Device> inner, std::shared_ptr<CaptureFile> file)
      : inner_(std::move(inner)), file_(std::move(file)), number_(file_->add_device()) {}

  Expected<std::shared_ptr<Interface>, SystemError> claim_interface(std::uint8_t number) override {
    auto claimed = inner_->claim_interface(number);
    if (!claimed) return claimed;
    return std::shared_ptr<Interface>(
        std::make_shared<CapturingInterface>(std::move(*claimed), file_, number_));
  }

 private:
  std::shared_ptr<Device> inner_;
  std::shared_ptr<CaptureFile> file_;
  std::uint8_t number_;
};

}  // namespace

int usbmon_status(std::optional<TransferError> error) {
  if (!error) return 0;
  switch (*error) {
    case TransferError::Cancelled:
      return -ENOENT;
    case TransferError::Stall:
      return -EPIPE;
    case TransferError::Disconnected:
      return -ENODEV;
    case TransferError::Fault:
      return -EPROTO;
    case TransferError::Unknown:
      return -EIO;
  }
  return -EIO;
}

std::string message(const CaptureError& error) {
  return fmt::format("{}: {}: '{}'", kCaptureFailure, error.cause, error.path);
}

namespace {

/// The capture files open in this process. Weak, so that a file closes with its last receiver.
/// A forked child's receivers capture on their own: the parent's files belong to objects the
/// child abandons.
struct OpenFiles {
  std::mutex mutex;
  std::vector<std::weak_ptr<CaptureFile>> files;
};

/// A FIFO or a device is named as what it is; a directory by the errno Python names it by.
CaptureError capture_error(const std::string& path, const platform::FileError& error) {
  if (error.kind == platform::FileError::Kind::NotRegular) {
    return {path, 0, std::string(kNotARegularFile)};
  }
  return {path, error.code, system_error_from_errno(error.code).message};
}

}  // namespace

Expected<std::shared_ptr<CaptureFile>, CaptureError> CaptureFile::open(const std::string& path) {
  auto opened = platform::open_for_writing(path);
  if (const auto* error = std::get_if<platform::FileError>(&opened)) {
    return unexpected(capture_error(path, *error));
  }
  const auto target = std::get<platform::WritableFile>(opened);
  const Identity id{target.volume, target.index};

  auto& open = runtime::per_process<OpenFiles>();
  std::lock_guard lock(open.mutex);
  std::erase_if(open.files, [](const auto& file) { return file.expired(); });
  for (const auto& weak : open.files) {
    // By identity, not by path: a path whose file was deleted or replaced names a new file. A
    // capture stopped by a write failure records nothing more, so it is replaced, not shared.
    if (auto file = weak.lock(); file && file->id_ == id && !file->stopped()) {
      std::fclose(target.file);
      return file;
    }
  }

  std::vector<std::uint8_t> header(24);
  put<std::uint32_t>(header, 0, 0xa1b2c3d4);  // microsecond timestamps, host byte order
  put<std::uint16_t>(header, 4, 2);           // format version 2.4
  put<std::uint16_t>(header, 6, 4);
  put<std::int32_t>(header, 8, 0);    // time zone offset
  put<std::uint32_t>(header, 12, 0);  // timestamp accuracy
  put<std::uint32_t>(header, 16, kPcapSnapLength);
  put<std::uint32_t>(header, 20, kPcapLinkTypeUsbLinuxMmapped);
  // Emptied only now: a file shared above keeps what it has.
  int code = platform::resize_file(target.file, 0);
  if (code == 0 && std::fwrite(header.data(), 1, header.size(), target.file) != header.size()) {
    code = errno;
  }
  if (code != 0) {
    (void)platform::resize_file(target.file, 0);  // no half header left behind
    std::fclose(target.file);
    return unexpected(CaptureError{path, code, system_error_from_errno(code).message});
  }
  std::shared_ptr<CaptureFile> file(new CaptureFile(target.file, id, path));
  file->size_ = header.size();
  open.files.push_back(file);
  return file;
}

CaptureFile::~CaptureFile() {
  std::fclose(file_);
}

bool CaptureFile::stopped() {
  std::lock_guard lock(mutex_);
  return write_failed_;
}

std::uint8_t CaptureFile::add_device() {
  std::lock_guard lock(mutex_);
  return ++devices_;
}

std::uint64_t CaptureFile::next_urb_id() {
  std::lock_guard lock(mutex_);
  return ++urbs_;
}

void CaptureFile::write_submission(const Urb& urb, std::size_t length,
                                   std::span<const std::uint8_t> data) {
  // Submissions carry -EINPROGRESS, as in captures of the kernel's own monitor.
  write_record('S', urb, -EINPROGRESS, length, data);
}

void CaptureFile::write_completion(const Urb& urb, int status, std::size_t length,
                                   std::span<const std::uint8_t> data) {
  write_record('C', urb, status, length, data);
}

void CaptureFile::write_record(char kind, const Urb& urb, int status, std::size_t length,
                               std::span<const std::uint8_t> data) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - seconds);
  const auto captured = static_cast<std::uint32_t>(data.size());

  std::vector<std::uint8_t> record(kPcapRecordHeaderSize + kUsbmonHeaderSize + data.size());
  put<std::uint32_t>(record, 0, static_cast<std::uint32_t>(seconds.count()));
  put<std::uint32_t>(record, 4, static_cast<std::uint32_t>(micros.count()));
  put<std::uint32_t>(record, 8, static_cast<std::uint32_t>(kUsbmonHeaderSize) + captured);
  put<std::uint32_t>(record, 12, static_cast<std::uint32_t>(kUsbmonHeaderSize) + captured);

  const std::size_t u = kPcapRecordHeaderSize;  // the usbmon header (struct usbmon_packet)
  put<std::uint64_t>(record, u + 0, urb.id);
  record[u + 8] = static_cast<std::uint8_t>(kind);
  record[u + 9] = usbmon_transfer_type(urb.type);
  record[u + 10] = urb.endpoint;
  record[u + 11] = urb.device;
  put<std::uint16_t>(record, u + 12, 1);  // bus number
  record[u + 14] = '-';                   // no setup packet
  // Zero says data follows; otherwise the direction of the data that was not captured.
  record[u + 15] = data.empty() ? ((urb.endpoint & 0x80) != 0 ? '<' : '>') : 0;
  put<std::int64_t>(record, u + 16, static_cast<std::int64_t>(seconds.count()));
  put<std::int32_t>(record, u + 24, static_cast<std::int32_t>(micros.count()));
  put<std::int32_t>(record, u + 28, status);
  put<std::uint32_t>(record, u + 32, static_cast<std::uint32_t>(length));
  put<std::uint32_t>(record, u + 36, captured);
  // Bytes 40 to 63 (setup, interval, start frame, flags, descriptors) stay zero for bulk and
  // interrupt transfers.
  if (!data.empty()) std::memcpy(record.data() + u + kUsbmonHeaderSize, data.data(), data.size());

  std::lock_guard lock(mutex_);
  if (write_failed_) return;
  if (std::fwrite(record.data(), 1, record.size(), file_) == record.size()) {
    size_ += record.size();
    return;
  }
  // One line, not one per transfer; the device keeps working without its capture. The file
  // keeps its whole records and loses the one cut short.
  const SystemError error = system_error_from_errno(errno);
  write_failed_ = true;
  (void)platform::resize_file(file_, size_);
  log::warn(log::kUsbTarget, "usb capture to {} stopped: {}", path_, error.message);
}

std::shared_ptr<Device> capture_device(std::shared_ptr<Device> device,
                                       std::shared_ptr<CaptureFile> file) {
  return std::make_shared<CapturingDevice>(std::move(device), std::move(file));
}

Expected<std::shared_ptr<CaptureFile>, CaptureError> requested_capture() {
  const auto path = platform::environment_variable(kCaptureEnvVar);
  if (!path || path->empty()) return std::shared_ptr<CaptureFile>();
  return CaptureFile::open(*path);
}

}  // namespace sorvel::usb
