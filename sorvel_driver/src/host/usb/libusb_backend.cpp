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
#include <optional>
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

/// A continuous read on one libusb transfer and one buffer, both allocated once: the completion
/// callback hands the bytes to the sink and resubmits the same transfer, so a steady stream costs
/// no allocation and no thread hop of ours. The stream holds itself (and its interface) while
/// libusb may call back; its end releases the transfer, then the interface, then tells the sink.
class LibusbStream final : public PendingTransfer,
                           public std::enable_shared_from_this<LibusbStream> {
 public:
  LibusbStream(std::shared_ptr<const LibusbInterface> owner, LibusbContext& context,
               std::size_t length, std::shared_ptr<StreamSink> sink)
      : owner_(std::move(owner)), context_(context), buffer_(length), sink_(std::move(sink)) {}

  ~LibusbStream() override { libusb_free_transfer(transfer_); }  // accepts null

  /// Caller's thread: the first submission. A failure ends the stream on the event thread.
  void start(libusb_device_handle* handle, std::uint8_t endpoint, bool interrupt) {
    self_ = shared_from_this();
    if (buffer_.size() > static_cast<std::size_t>(INT_MAX)) {
      return end_later(transfer_error_from_libusb_submit(LibusbError::InvalidParam));
    }
    transfer_ = libusb_alloc_transfer(0);
    if (transfer_ == nullptr) {
      return end_later(transfer_error_from_libusb_submit(LibusbError::NoMem));
    }
    const auto length = static_cast<int>(buffer_.size());
    if (interrupt) {
      libusb_fill_interrupt_transfer(transfer_, handle, endpoint, buffer_.data(), length,
                                     &LibusbStream::on_complete, this, 0);
    } else {
      libusb_fill_bulk_transfer(transfer_, handle, endpoint, buffer_.data(), length,
                                &LibusbStream::on_complete, this, 0);
    }
    if (auto refused = submit()) end_later(*refused);
  }

  /// Any thread, any time: a transfer in flight is cancelled under the lock, so the callback
  /// cannot free it meanwhile (libusb does not call back holding the transfer's own lock); one
  /// between completion and resubmission is simply not resubmitted.
  void cancel() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (in_flight_) libusb_cancel_transfer(transfer_);
  }

 private:
  /// Submits the transfer unless the stream was cancelled; otherwise why it was not submitted.
  std::optional<TransferError> submit() {
    if (is_cancelled()) return TransferError::Cancelled;  // before a wrapper records it
    sink_->on_submit();
    std::lock_guard lock(mutex_);
    if (cancelled_) return TransferError::Cancelled;
    const int rc = libusb_submit_transfer(transfer_);
    if (rc != LIBUSB_SUCCESS)
      return transfer_error_from_libusb_submit(static_cast<LibusbError>(rc));
    in_flight_ = true;
    return std::nullopt;
  }

  bool is_cancelled() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

  static void LIBUSB_CALL on_complete(libusb_transfer* transfer) {
    static_cast<LibusbStream*>(transfer->user_data)->completed();
  }

  /// Event thread.
  void completed() {
    {
      std::lock_guard lock(mutex_);
      in_flight_ = false;
    }
    auto error = transfer_error_from_libusb(static_cast<LibusbTransferStatus>(transfer_->status));
    if (!error) {
      sink_->on_transfer({buffer_.data(), static_cast<std::size_t>(transfer_->actual_length)});
      error = submit();
      if (!error) return;
    }
    end(*error);
  }

  /// Ends a stream whose first transfer never reached libusb, later and on the event thread, as
  /// callers of the boundary expect.
  void end_later(TransferError error) {
    context_.defer([self = shared_from_this(), error] { self->end(error); });
  }

  /// Event thread, once: nothing is in flight.
  void end(TransferError error) {
    const std::shared_ptr<LibusbStream> self = std::move(self_);  // this lives to the return
    libusb_free_transfer(std::exchange(transfer_, nullptr));
    std::vector<std::uint8_t>().swap(buffer_);
    // As for single transfers: the interface goes before the end can reach whoever waits for it.
    owner_.reset();
    const std::shared_ptr<StreamSink> sink = std::move(sink_);
    sink->on_end(error);
  }

  std::shared_ptr<const LibusbInterface> owner_;
  LibusbContext& context_;
  std::vector<std::uint8_t> buffer_;
  std::shared_ptr<StreamSink> sink_;     // touched by the stream's one step at a time
  std::shared_ptr<LibusbStream> self_;   // set while libusb or the deferred end may call back
  libusb_transfer* transfer_ = nullptr;  // written only while nothing is in flight
  std::mutex mutex_;
  bool in_flight_ = false;  // guarded by mutex_
  bool cancelled_ = false;  // guarded by mutex_
};

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

  std::shared_ptr<PendingTransfer> read_stream(std::uint8_t endpoint, std::size_t length,
                                               std::shared_ptr<StreamSink> sink) override {
    auto stream = std::make_shared<LibusbStream>(shared_from_this(), handle_->context(), length,
                                                 std::move(sink));
    stream->start(handle_->get(), endpoint, endpoint_type(endpoint) == EndpointType::Interrupt);
    return stream;
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
