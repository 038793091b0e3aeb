// The libusb backend: devices, claimed interfaces and asynchronous bulk/interrupt transfers.
//
// Ownership: a transfer in flight owns its buffer, its callback and a handle of its interface
// (hence of the device handle) until libusb has called back, so nothing it points at can be
// released under it. The interface is released, and the device closed, with their last holder.

#include <libusb.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "host/usb/libusb_context.hpp"
#include "sorvel/driver/usb/libusb_backend.hpp"

namespace sorvel::usb {
namespace {

SystemError error_of(int rc) {
  return system_error_from_libusb(static_cast<LibusbError>(rc));
}

/// Closes the device with its last holder.
class HandleOwner {
 public:
  HandleOwner(LibusbContext& context, libusb_device_handle* handle)
      : context_(context), handle_(handle) {}
  ~HandleOwner() { context_.close(handle_); }
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;

  LibusbContext& context() const { return context_; }
  libusb_device_handle* get() const { return handle_; }

 private:
  LibusbContext& context_;
  libusb_device_handle* const handle_;
};

/// The caller's handle on a transfer; forgets the libusb transfer once it has completed, so a
/// late cancel never touches freed memory.
class LibusbPendingTransfer final : public PendingTransfer {
 public:
  void cancel() override {
    // The lock is held across the call: the callback cannot free the transfer meanwhile. libusb
    // does not call back while holding the transfer's own lock, so this cannot deadlock.
    std::lock_guard lock(mutex_);
    if (transfer_ != nullptr) libusb_cancel_transfer(transfer_);
  }

  void attach(libusb_transfer* transfer) {
    std::lock_guard lock(mutex_);
    transfer_ = transfer;
  }

  void detach() { attach(nullptr); }

 private:
  std::mutex mutex_;
  libusb_transfer* transfer_ = nullptr;  // guarded by mutex_
};

struct EndpointInfo {
  std::uint8_t alternate_setting;
  std::uint8_t address;
  EndpointType type;
};

class LibusbInterface;

/// Everything one transfer needs until its callback has run.
struct TransferOp {
  std::shared_ptr<const LibusbInterface> owner;
  std::shared_ptr<LibusbPendingTransfer> pending;
  std::vector<std::uint8_t> buffer;
  TransferCallback done;
  bool in = false;
  libusb_transfer* transfer = nullptr;

  ~TransferOp() { libusb_free_transfer(transfer); }  // accepts null
};

void LIBUSB_CALL on_transfer_complete(libusb_transfer* transfer) {
  std::unique_ptr<TransferOp> op(static_cast<TransferOp*>(transfer->user_data));
  op->pending->detach();
  TransferResult result;
  result.error = transfer_error_from_libusb(static_cast<LibusbTransferStatus>(transfer->status));
  if (op->in) {
    op->buffer.resize(static_cast<std::size_t>(transfer->actual_length));
    result.data = std::move(op->buffer);
  }
  TransferCallback done = std::move(op->done);
  // Let go of the interface before the completion can reach its waiter: whoever drops the driver
  // and waits for its readers then finds the interface released, and the receiver free for the
  // next driver, once the wait is over.
  op->owner.reset();
  done(std::move(result));
}

class LibusbInterface final : public Interface,
                              public std::enable_shared_from_this<LibusbInterface> {
 public:
  LibusbInterface(std::shared_ptr<HandleOwner> handle, std::uint8_t number,
                  std::vector<EndpointInfo> endpoints)
      : handle_(std::move(handle)), number_(number), endpoints_(std::move(endpoints)) {}

  ~LibusbInterface() override { libusb_release_interface(handle_->get(), number_); }

  std::uint8_t number() const override { return number_; }

  Expected<void, SystemError> select_alternate_setting(std::uint8_t setting) override {
    const int rc = libusb_set_interface_alt_setting(handle_->get(), number_, setting);
    if (rc != LIBUSB_SUCCESS) return unexpected(error_of(rc));
    alternate_setting_.store(setting, std::memory_order_relaxed);
    return {};
  }

  std::optional<EndpointType> endpoint_type(std::uint8_t endpoint) const override {
    const std::uint8_t setting = alternate_setting_.load(std::memory_order_relaxed);
    const EndpointInfo* any = nullptr;
    for (const auto& info : endpoints_) {
      if (info.address != endpoint) continue;
      if (info.alternate_setting == setting) return info.type;
      if (any == nullptr) any = &info;
    }
    if (any != nullptr) return any->type;
    return std::nullopt;
  }

  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                             TransferCallback done) override {
    return submit(endpoint, std::vector<std::uint8_t>(length), true, std::move(done));
  }

  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t endpoint,
                                              std::vector<std::uint8_t> bytes,
                                              TransferCallback done) override {
    return submit(endpoint, std::move(bytes), false, std::move(done));
  }

 private:
  std::shared_ptr<PendingTransfer> submit(std::uint8_t endpoint, std::vector<std::uint8_t> buffer,
                                          bool in, TransferCallback done) {
    auto pending = std::make_shared<LibusbPendingTransfer>();
    auto op = std::make_unique<TransferOp>();
    op->owner = shared_from_this();
    op->pending = pending;
    op->buffer = std::move(buffer);
    op->done = std::move(done);
    op->in = in;

    if (op->buffer.size() > static_cast<std::size_t>(INT_MAX)) {
      fail(std::move(op), LibusbError::InvalidParam);
      return pending;
    }
    op->transfer = libusb_alloc_transfer(0);
    if (op->transfer == nullptr) {
      fail(std::move(op), LibusbError::NoMem);
      return pending;
    }

    // Endpoints the descriptors do not list are tried as bulk; libusb then reports the failure.
    const auto length = static_cast<int>(op->buffer.size());
    if (endpoint_type(endpoint) == EndpointType::Interrupt) {
      libusb_fill_interrupt_transfer(op->transfer, handle_->get(), endpoint, op->buffer.data(),
                                     length, on_transfer_complete, op.get(), 0);
    } else {
      libusb_fill_bulk_transfer(op->transfer, handle_->get(), endpoint, op->buffer.data(), length,
                                on_transfer_complete, op.get(), 0);
    }

    // Attached before submitting: once submitted, the callback may run (and detach) at once.
    pending->attach(op->transfer);
    const int rc = libusb_submit_transfer(op->transfer);
    if (rc != LIBUSB_SUCCESS) {
      pending->detach();
      fail(std::move(op), static_cast<LibusbError>(rc));
      return pending;
    }
    op.release();  // on_transfer_complete takes it back
    return pending;
  }

  /// Completes a transfer that never reached libusb, later and on the event thread, as callers
  /// of the boundary expect.
  void fail(std::unique_ptr<TransferOp> op, LibusbError error) {
    std::shared_ptr<TransferOp> shared(std::move(op));
    handle_->context().defer([shared, error] {
      TransferCallback done = std::move(shared->done);
      done(TransferResult{transfer_error_from_libusb_submit(error), {}});
    });
  }

  std::shared_ptr<HandleOwner> handle_;
  const std::uint8_t number_;
  const std::vector<EndpointInfo> endpoints_;
  std::atomic<std::uint8_t> alternate_setting_{0};
};

/// The endpoints of every alternate setting of interface `number` in the active configuration;
/// empty when the descriptors cannot be read.
std::vector<EndpointInfo> read_endpoints(libusb_device_handle* handle, std::uint8_t number) {
  std::vector<EndpointInfo> endpoints;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(handle), &config) != LIBUSB_SUCCESS) {
    return endpoints;
  }
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceNumber != number) continue;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        endpoints.push_back(
            {setting.bAlternateSetting, endpoint.bEndpointAddress,
             static_cast<EndpointType>(endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK)});
      }
    }
  }
  libusb_free_config_descriptor(config);
  return endpoints;
}

class LibusbDevice final : public Device {
 public:
  explicit LibusbDevice(std::shared_ptr<HandleOwner> handle) : handle_(std::move(handle)) {}

  Expected<std::shared_ptr<Interface>, SystemError> claim_interface(std::uint8_t number) override {
    const int rc = libusb_claim_interface(handle_->get(), number);
    if (rc != LIBUSB_SUCCESS) return unexpected(error_of(rc));
    return std::shared_ptr<Interface>(
        std::make_shared<LibusbInterface>(handle_, number, read_endpoints(handle_->get(), number)));
  }

 private:
  std::shared_ptr<HandleOwner> handle_;
};

class LibusbDeviceEntry final : public DeviceEntry {
 public:
  LibusbDeviceEntry(LibusbContext& context, libusb_device* device,
                    const libusb_device_descriptor& descriptor)
      : context_(context),
        device_(libusb_ref_device(device)),
        vendor_id_(descriptor.idVendor),
        product_id_(descriptor.idProduct) {}
  ~LibusbDeviceEntry() override { libusb_unref_device(device_); }
  LibusbDeviceEntry(const LibusbDeviceEntry&) = delete;
  LibusbDeviceEntry& operator=(const LibusbDeviceEntry&) = delete;

  std::uint16_t vendor_id() const override { return vendor_id_; }
  std::uint16_t product_id() const override { return product_id_; }

  Expected<std::shared_ptr<Device>, SystemError> open() override {
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(device_, &handle);
    if (rc != LIBUSB_SUCCESS) return unexpected(error_of(rc));
    // A kernel driver bound to an interface would make the claim fail with EBUSY; libusb
    // detaches it for the claim and reattaches it on release. Unsupported off Linux: ignored.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    context_.start_event_thread();
    return std::shared_ptr<Device>(
        std::make_shared<LibusbDevice>(std::make_shared<HandleOwner>(context_, handle)));
  }

 private:
  LibusbContext& context_;
  libusb_device* const device_;
  const std::uint16_t vendor_id_;
  const std::uint16_t product_id_;
};

class LibusbBackend final : public Backend {
 public:
  explicit LibusbBackend(LibusbContext& context) : context_(context) {}

  Expected<DeviceList, SystemError> list_devices() override {
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context_.raw(), &devices);
    if (count < 0) return unexpected(error_of(static_cast<int>(count)));
    DeviceList list;
    list.reserve(static_cast<std::size_t>(count));
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(devices[i], &descriptor) != LIBUSB_SUCCESS) continue;
      list.push_back(std::make_unique<LibusbDeviceEntry>(context_, devices[i], descriptor));
    }
    libusb_free_device_list(devices, 1);  // every entry holds its own reference
    return list;
  }

 private:
  LibusbContext& context_;
};

}  // namespace

Expected<std::unique_ptr<Backend>, SystemError> make_libusb_backend() {
  auto context = LibusbContext::instance();
  if (!context) return unexpected(std::move(context).error());
  return std::unique_ptr<Backend>(std::make_unique<LibusbBackend>(**context));
}

}  // namespace sorvel::usb
