#pragma once
// The USB backend for real receivers, on libusb. libusb's own header stays inside the backend's
// sources; the codes below mirror its values (checked at compile time there) so that the
// translation of libusb results can be used and tested without it.
//
// Threads: one libusb context per process and one event thread, started when the first device
// is opened and never joined, runs every transfer callback. A submission that libusb refuses is
// completed on that same thread, never inside the submit call.

#include <memory>
#include <optional>
#include <string_view>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/system_error.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::usb {

/// libusb's return codes (enum libusb_error).
enum class LibusbError : int {
  Success = 0,
  Io = -1,
  InvalidParam = -2,
  Access = -3,
  NoDevice = -4,
  NotFound = -5,
  Busy = -6,
  Timeout = -7,
  Overflow = -8,
  Pipe = -9,
  Interrupted = -10,
  NoMem = -11,
  NotSupported = -12,
  Other = -99,
};

/// libusb's transfer completion statuses (enum libusb_transfer_status).
enum class LibusbTransferStatus : int {
  Completed = 0,
  Error = 1,
  TimedOut = 2,
  Cancelled = 3,
  Stall = 4,
  NoDevice = 5,
  Overflow = 6,
};

/// Where the repository keeps the udev rule that opens the receiver to the logged-in user.
inline constexpr std::string_view kUdevRulePath = "udev/70-sorvel-receiver.rules";

/// The errno-style error of a failed libusb call: the code's system text, plus on Linux a hint
/// at the udev rule when access was denied. Codes without an errno counterpart become EIO.
SystemError system_error_from_libusb(LibusbError error);

/// The outcome of a completed transfer: empty for success.
std::optional<TransferError> transfer_error_from_libusb(LibusbTransferStatus status);

/// Why a transfer that libusb refused to submit failed.
TransferError transfer_error_from_libusb_submit(LibusbError error);

/// The libusb backend, or the error of initialising libusb.
/// Thread safety: the backend and everything it hands out may be used from any thread.
Expected<std::unique_ptr<Backend>, SystemError> make_libusb_backend();

}  // namespace sorvel::usb
