#pragma once
// Recording of USB traffic for debugging: a Device wrapped for capture writes every transfer of
// its interfaces to a pcap file in the Linux usbmon layout (link type 220,
// LINKTYPE_USB_LINUX_MMAPPED), which Wireshark and tshark open directly. Works with any backend.
//
// Each transfer gives one submission record ('S', with the OUT bytes) and one completion record
// ('C', with the IN bytes and the status), paired by a URB id. Every record is flushed as it is
// written, so a process that ends at any point after a record leaves a readable file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/system_error.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::usb {

/// Names the capture file; read each time a device is opened through `capture_if_requested`.
inline constexpr const char* kCaptureEnvVar = "SORVEL_CAPTURE";

inline constexpr std::uint32_t kPcapLinkTypeUsbLinuxMmapped = 220;
inline constexpr std::size_t kUsbmonHeaderSize = 64;

/// The usbmon status of a completed transfer: 0 for success, otherwise the negative errno the
/// Linux USB core reports for the same outcome (-ENOENT cancelled, -EPIPE stall, -ENODEV
/// disconnected, -EPROTO fault, -EIO unknown).
int usbmon_status(std::optional<TransferError> error);

/// One pcap file. Thread safety: every member may be called from any thread.
class CaptureFile {
 public:
  /// One transfer as usbmon identifies it.
  struct Urb {
    std::uint64_t id = 0;
    std::uint8_t device = 0;           ///< device number within this file, from `add_device`
    std::uint8_t endpoint = 0;         ///< address including the direction bit (0x80 = IN)
    std::optional<EndpointType> type;  ///< recorded as bulk when unknown
  };

  /// Creates (or truncates) `path` and writes the pcap header.
  static Expected<std::shared_ptr<CaptureFile>, SystemError> create(const std::string& path);

  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  /// A device number for one more captured device: 1, 2, ...
  std::uint8_t add_device();
  /// A URB id no other transfer of this file has.
  std::uint64_t next_urb_id();

  /// The 'S' record. `length` is the length asked for (IN) or sent (OUT); `data` is what was sent.
  void write_submission(const Urb& urb, std::size_t length, std::span<const std::uint8_t> data);
  /// The 'C' record. `length` is the length transferred; `data` is what was received.
  void write_completion(const Urb& urb, int status, std::size_t length,
                        std::span<const std::uint8_t> data);

 private:
  explicit CaptureFile(std::FILE* file) : file_(file) {}
  void write_record(char kind, const Urb& urb, int status, std::size_t length,
                    std::span<const std::uint8_t> data);

  std::mutex mutex_;
  std::FILE* const file_;
  bool write_failed_ = false;  // guarded by mutex_
  std::uint8_t devices_ = 0;   // guarded by mutex_
  std::uint64_t urbs_ = 0;     // guarded by mutex_
};

/// `device`, with every transfer of the interfaces it claims from now on recorded to `file`.
std::shared_ptr<Device> capture_device(std::shared_ptr<Device> device,
                                       std::shared_ptr<CaptureFile> file);

/// `device` recorded to the file at `path`. Devices captured to the same path in one process
/// share that file, which stays open until the process ends. A file that cannot be created is
/// reported with one warning, and `device` is returned as it was.
std::shared_ptr<Device> capture_to_path(std::shared_ptr<Device> device, const std::string& path);

/// `capture_to_path(device, $SORVEL_CAPTURE)` when the variable is set and not empty, otherwise
/// `device` itself. Call it on every freshly opened device.
std::shared_ptr<Device> capture_if_requested(std::shared_ptr<Device> device);

}  // namespace sorvel::usb
