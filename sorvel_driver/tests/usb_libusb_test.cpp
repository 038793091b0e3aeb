#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sorvel/driver/usb/libusb_backend.hpp"

namespace sorvel::usb {
namespace {

TEST(LibusbTranslation, TransferStatusOfEveryCompletion) {
  const struct {
    LibusbTransferStatus status;
    std::optional<TransferError> error;
  } cases[] = {
      {LibusbTransferStatus::Completed, std::nullopt},
      {LibusbTransferStatus::Cancelled, TransferError::Cancelled},
      {LibusbTransferStatus::Stall, TransferError::Stall},
      {LibusbTransferStatus::NoDevice, TransferError::Disconnected},
      {LibusbTransferStatus::Error, TransferError::Fault},
      {LibusbTransferStatus::Overflow, TransferError::Fault},
      {LibusbTransferStatus::TimedOut, TransferError::Unknown},
      {static_cast<LibusbTransferStatus>(42), TransferError::Unknown},  // a status added later
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    EXPECT_EQ(transfer_error_from_libusb(c.status), c.error);
  }
}

TEST(LibusbTranslation, TransferErrorOfARefusedSubmission) {
  const struct {
    LibusbError error;
    TransferError transfer;
  } cases[] = {
      {LibusbError::NoDevice, TransferError::Disconnected},
      {LibusbError::Pipe, TransferError::Stall},
      {LibusbError::Io, TransferError::Fault},
      {LibusbError::InvalidParam, TransferError::Fault},
      {LibusbError::NotSupported, TransferError::Fault},
      {LibusbError::Overflow, TransferError::Fault},
      {LibusbError::Busy, TransferError::Unknown},
      {LibusbError::NoMem, TransferError::Unknown},
      {LibusbError::Other, TransferError::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.error));
    EXPECT_EQ(transfer_error_from_libusb_submit(c.error), c.transfer);
  }
}

TEST(LibusbTranslation, SystemErrorOfEveryLibusbError) {
  const struct {
    LibusbError error;
    int code;
  } cases[] = {
      {LibusbError::Access, EACCES},
      {LibusbError::Busy, EBUSY},
      {LibusbError::NoDevice, ENODEV},
      {LibusbError::NotFound, ENOENT},
      {LibusbError::Timeout, ETIMEDOUT},
      {LibusbError::Pipe, EPIPE},
      {LibusbError::Io, EIO},
      {LibusbError::InvalidParam, EINVAL},
      {LibusbError::Overflow, EOVERFLOW},
      {LibusbError::Interrupted, EINTR},
      {LibusbError::NoMem, ENOMEM},
      {LibusbError::NotSupported, ENOTSUP},
      {LibusbError::Other, EIO},
      {static_cast<LibusbError>(-42), EIO},  // not a libusb code at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.error));
    const SystemError error = system_error_from_libusb(c.error);
    EXPECT_EQ(error.code, c.code);
    if (c.code == EACCES) continue;  // carries a hint, checked below
    EXPECT_EQ(error.message, std::strerror(c.code));
  }
}

TEST(LibusbTranslation, AccessDeniedPointsAtTheUdevRule) {
  const SystemError error = system_error_from_libusb(LibusbError::Access);
  EXPECT_EQ(error.code, EACCES);
  const std::string denied = std::strerror(EACCES);
  ASSERT_EQ(error.message.substr(0, denied.size()), denied);
#if defined(__linux__)
  EXPECT_NE(error.message.find("udev/70-sorvel-receiver.rules"), std::string::npos)
      << error.message;
  EXPECT_NE(error.message.find("/etc/udev/rules.d"), std::string::npos) << error.message;
#else
  EXPECT_EQ(error.message, denied);
#endif
  // Other errors do not get it.
  EXPECT_EQ(system_error_from_libusb(LibusbError::Busy).message.find("udev"), std::string::npos);
}

// No USB hardware is needed: on a machine without USB support libusb refuses to start or lists
// nothing, and either must come back as a value.
TEST(LibusbBackend, ListsDevicesOrReportsASystemError) {
  const std::set<int> mapped_codes{EACCES, EBUSY,  ENODEV,    ENOENT, ETIMEDOUT, EPIPE,
                                   EIO,    EINVAL, EOVERFLOW, EINTR,  ENOMEM,    ENOTSUP};
  auto expect_clear_error = [&](const SystemError& error) {
    EXPECT_TRUE(mapped_codes.count(error.code) == 1) << error.code;
    const std::string text = std::strerror(error.code);
    EXPECT_EQ(error.message.substr(0, text.size()), text);
  };

  auto backend = make_libusb_backend();
  if (!backend) {
    expect_clear_error(backend.error());
    return;
  }
  ASSERT_NE(*backend, nullptr);
  auto devices = (*backend)->list_devices();
  if (!devices) {
    expect_clear_error(devices.error());
    return;
  }
  for (const auto& entry : *devices) ASSERT_NE(entry, nullptr);
  if (DeviceEntry* receiver = find_receiver(*devices)) {
    EXPECT_EQ(receiver->vendor_id(), kReceiverVendorId);
    EXPECT_EQ(receiver->product_id(), kReceiverProductId);
  }

  // The context is shared: a second backend works alongside the first.
  auto second = make_libusb_backend();
  ASSERT_TRUE(second.has_value());
  EXPECT_TRUE((*second)->list_devices().has_value());
}

}  // namespace
}  // namespace sorvel::usb
