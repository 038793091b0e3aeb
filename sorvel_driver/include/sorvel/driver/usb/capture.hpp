#pragma once
// Recording of USB traffic for debugging: a Device wrapped for capture writes every transfer of
// its interfaces to a pcap file in the Linux usbmon layout (link type 220,
// LINKTYPE_USB_LINUX_MMAPPED), which Wireshark and tshark open directly. Works with any backend.
//
// Each transfer gives one submission record ('S', with the OUT bytes) and one completion record
// ('C', with the IN bytes and the status), paired by a URB id. Every record is written whole, in
// one call under the file's lock, before the transfer goes on, so a process that ends at any
// point leaves a readable file.
//
// One file per receiver: opening a receiver replaces the file (emptied, a new header). While a
// capture of that same file is still open in this process, a further receiver shares it instead
// (one header, its own device number, records never mixed within one). The file is closed when
// the last handle of the receivers recording to it is gone. A capture that cannot be made (a
// path that cannot be written, or is not a regular file) is an error, never a silent no-op: it
// is reported before the receiver is opened.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/system_error.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::usb {

/// Names the capture file; read each time a receiver is opened, through `requested_capture`.
inline constexpr const char* kCaptureEnvVar = "SORVEL_CAPTURE";

/// Why a capture that was asked for cannot be made.
struct CaptureError {
  std::string path;
  int code = 0;       ///< the errno of the failing call; 0 when the system reported none
  std::string cause;  ///< the system's text for `code`, or `kNotARegularFile`

  bool operator==(const CaptureError&) const = default;
};

/// What a CaptureError says before its cause; names the variable, as users set it there.
inline constexpr std::string_view kCaptureFailure =
    "cannot write the USB capture named by SORVEL_CAPTURE";
/// The cause of a path that exists but is no regular file (a FIFO, a device).
inline constexpr std::string_view kNotARegularFile = "not a regular file";

/// cannot write the USB capture named by SORVEL_CAPTURE: Permission denied: '/tmp/x.pcap'
std::string message(const CaptureError& error);

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

  /// The capture at `path` for one more receiver: the one already recording to that same file in
  /// this process, or else the file created or emptied, with a new header. Never blocks. Fails
  /// when the path is not a regular file or the header cannot be written.
  static Expected<std::shared_ptr<CaptureFile>, CaptureError> open(const std::string& path);

  /// Closes the file; every record is already in it.
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  const std::string& path() const { return path_; }

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
  struct Identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const Identity&) const = default;
  };

  CaptureFile(std::FILE* file, Identity id, std::string path)
      : file_(file), id_(id), path_(std::move(path)) {}
  void write_record(char kind, const Urb& urb, int status, std::size_t length,
                    std::span<const std::uint8_t> data);
  bool stopped();

  std::mutex mutex_;
  std::FILE* const file_;
  const Identity id_;
  const std::string path_;
  std::uint64_t size_ = 0;     // guarded by mutex_: the bytes of the header and whole records
  bool write_failed_ = false;  // guarded by mutex_
  std::uint8_t devices_ = 0;   // guarded by mutex_
  std::uint64_t urbs_ = 0;     // guarded by mutex_
};

/// `device`, with every transfer of the interfaces it claims from now on recorded to `file`.
/// The device and its interfaces keep the file open; transfers in flight do not.
std::shared_ptr<Device> capture_device(std::shared_ptr<Device> device,
                                       std::shared_ptr<CaptureFile> file);

/// The capture SORVEL_CAPTURE asks for: `CaptureFile::open($SORVEL_CAPTURE)`, or nullptr when the
/// variable is unset or empty. Call it once per receiver, before opening it, and hand the file to
/// `capture_device`.
Expected<std::shared_ptr<CaptureFile>, CaptureError> requested_capture();

}  // namespace sorvel::usb
