// Translation of libusb results into the driver's error values.

#include <libusb.h>

#include <cerrno>
#include <string>

#include <fmt/format.h>

#include "sorvel/driver/usb/libusb_backend.hpp"

namespace sorvel::usb {

#define SORVEL_SAME_VALUE(ours, theirs) \
  static_assert(static_cast<int>(ours) == static_cast<int>(theirs), #theirs)

SORVEL_SAME_VALUE(LibusbError::Success, LIBUSB_SUCCESS);
SORVEL_SAME_VALUE(LibusbError::Io, LIBUSB_ERROR_IO);
SORVEL_SAME_VALUE(LibusbError::InvalidParam, LIBUSB_ERROR_INVALID_PARAM);
SORVEL_SAME_VALUE(LibusbError::Access, LIBUSB_ERROR_ACCESS);
SORVEL_SAME_VALUE(LibusbError::NoDevice, LIBUSB_ERROR_NO_DEVICE);
SORVEL_SAME_VALUE(LibusbError::NotFound, LIBUSB_ERROR_NOT_FOUND);
SORVEL_SAME_VALUE(LibusbError::Busy, LIBUSB_ERROR_BUSY);
SORVEL_SAME_VALUE(LibusbError::Timeout, LIBUSB_ERROR_TIMEOUT);
SORVEL_SAME_VALUE(LibusbError::Overflow, LIBUSB_ERROR_OVERFLOW);
SORVEL_SAME_VALUE(LibusbError::Pipe, LIBUSB_ERROR_PIPE);
SORVEL_SAME_VALUE(LibusbError::Interrupted, LIBUSB_ERROR_INTERRUPTED);
SORVEL_SAME_VALUE(LibusbError::NoMem, LIBUSB_ERROR_NO_MEM);
SORVEL_SAME_VALUE(LibusbError::NotSupported, LIBUSB_ERROR_NOT_SUPPORTED);
SORVEL_SAME_VALUE(LibusbError::Other, LIBUSB_ERROR_OTHER);

SORVEL_SAME_VALUE(LibusbTransferStatus::Completed, LIBUSB_TRANSFER_COMPLETED);
SORVEL_SAME_VALUE(LibusbTransferStatus::Error, LIBUSB_TRANSFER_ERROR);
SORVEL_SAME_VALUE(LibusbTransferStatus::TimedOut, LIBUSB_TRANSFER_TIMED_OUT);
SORVEL_SAME_VALUE(LibusbTransferStatus::Cancelled, LIBUSB_TRANSFER_CANCELLED);
SORVEL_SAME_VALUE(LibusbTransferStatus::Stall, LIBUSB_TRANSFER_STALL);
SORVEL_SAME_VALUE(LibusbTransferStatus::NoDevice, LIBUSB_TRANSFER_NO_DEVICE);
SORVEL_SAME_VALUE(LibusbTransferStatus::Overflow, LIBUSB_TRANSFER_OVERFLOW);

#undef SORVEL_SAME_VALUE

namespace {

int errno_of(LibusbError error) {
  switch (error) {
    case LibusbError::Access:
      return EACCES;
    case LibusbError::Busy:
      return EBUSY;
    case LibusbError::NoDevice:
      return ENODEV;
    case LibusbError::NotFound:
      return ENOENT;
    case LibusbError::Timeout:
      return ETIMEDOUT;
    case LibusbError::Pipe:
      return EPIPE;
    case LibusbError::Io:
      return EIO;
    case LibusbError::InvalidParam:
      return EINVAL;
    case LibusbError::Overflow:
      return EOVERFLOW;
    case LibusbError::Interrupted:
      return EINTR;
    case LibusbError::NoMem:
      return ENOMEM;
    case LibusbError::NotSupported:
      return ENOTSUP;
    default:
      return EIO;
  }
}

}  // namespace

SystemError system_error_from_libusb(LibusbError error) {
  SystemError system = system_error_from_errno(errno_of(error));
#if defined(__linux__)
  // Without a udev rule the device node belongs to root; say how to fix it, not just "denied".
  if (system.code == EACCES) {
    system.message += fmt::format(
        " (the receiver's USB device node is not accessible to this user: install {} from the "
        "pysorvel sources into /etc/udev/rules.d/, run `udevadm control --reload-rules` and "
        "replug the receiver)",
        kUdevRulePath);
  }
#endif
  return system;
}

std::optional<TransferError> transfer_error_from_libusb(LibusbTransferStatus status) {
  switch (status) {
    case LibusbTransferStatus::Completed:
      return std::nullopt;
    case LibusbTransferStatus::Cancelled:
      return TransferError::Cancelled;
    case LibusbTransferStatus::Stall:
      return TransferError::Stall;
    case LibusbTransferStatus::NoDevice:
      return TransferError::Disconnected;
    case LibusbTransferStatus::Error:
    case LibusbTransferStatus::Overflow:
      return TransferError::Fault;
    default:
      return TransferError::Unknown;
  }
}

TransferError transfer_error_from_libusb_submit(LibusbError error) {
  switch (error) {
    case LibusbError::NoDevice:
      return TransferError::Disconnected;
    case LibusbError::Pipe:
      return TransferError::Stall;
    case LibusbError::Io:
    case LibusbError::InvalidParam:
    case LibusbError::NotSupported:
    case LibusbError::Overflow:
      return TransferError::Fault;
    default:
      return TransferError::Unknown;
  }
}

}  // namespace sorvel::usb
