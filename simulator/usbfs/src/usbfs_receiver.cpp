#include "usbfs_receiver.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "descriptors.hpp"
#include "sorvel/driver/usb/capture.hpp"

namespace sorvel::usbfs {

namespace {

/// libusb reaps in a loop until the queue is empty and polls again at once (an emulated node is
/// always ready), so an empty reap waits a little, as the time a real reap would take.
constexpr auto kEmptyReapPause = std::chrono::milliseconds(1);

/// The URB status the kernel reports for each way a transfer can end: as usbmon shows it, but
/// for URBs that a disconnect kills, which end with -ESHUTDOWN.
int urb_status(const std::optional<TransferError>& error) {
  return error == TransferError::Disconnected ? -ESHUTDOWN : usb::usbmon_status(error);
}

UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) g_error_free(error);
  return resolved;
}

/// An owning reference to ioctl data.
struct DataRef {
  UMockdevIoctlData* data = nullptr;
  explicit DataRef(UMockdevIoctlData* d) : data(d) {}
  ~DataRef() {
    if (data != nullptr) g_object_unref(data);
  }
  DataRef(const DataRef&) = delete;
  DataRef& operator=(const DataRef&) = delete;
  explicit operator bool() const { return data != nullptr; }
  template <typename T>
  T* as() const {
    return data->data_len >= static_cast<gint>(sizeof(T)) ? reinterpret_cast<T*>(data->data)
                                                          : nullptr;
  }
};

}  // namespace

struct UsbfsReceiver::Urb {
  Client client;
  DataRef data;  // the client's struct usbdevfs_urb, its buffer resolved beside it
  bool in = false;
  std::shared_ptr<usb::PendingTransfer> pending;
  usb::TransferResult result;

  Urb(Client c, UMockdevIoctlData* d, bool is_in) : client(c), data(d), in(is_in) {}
  usbdevfs_urb& urb() const { return *reinterpret_cast<usbdevfs_urb*>(data.data->data); }
};

UsbfsReceiver::UsbfsReceiver(UMockdevTestbed* testbed, std::string root_dir, int device_number,
                             simulator::Scenario scenario)
    : testbed_(testbed),
      root_dir_(std::move(root_dir)),
      device_number_(device_number),
      devnode_(devnode_of(device_number)),
      kit_(std::make_shared<simulator::Kit>(std::move(scenario))) {}

bool UsbfsReceiver::handle_ioctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto finish = [client](int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
  };

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      DataRef caps(resolve(arg, 0, sizeof(std::uint32_t)));
      if (!caps) return finish(EFAULT), true;
      *caps.as<std::uint32_t>() = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      finish(0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      DataRef number(resolve(arg, 0, sizeof(unsigned)));
      if (!number) return finish(EFAULT), true;
      std::lock_guard lock(mutex_);
      const unsigned n = *number.as<unsigned>();
      finish(request == USBDEVFS_CLAIMINTERFACE ? claim(client, n) : release(client, n));
      return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      DataRef claim_arg(resolve(arg, 0, sizeof(usbdevfs_disconnect_claim)));
      if (!claim_arg) return finish(EFAULT), true;
      std::lock_guard lock(mutex_);
      finish(claim(client, claim_arg.as<usbdevfs_disconnect_claim>()->interface));
      return true;
    }
    case USBDEVFS_SETINTERFACE: {
      DataRef setting_arg(resolve(arg, 0, sizeof(usbdevfs_setinterface)));
      if (!setting_arg) return finish(EFAULT), true;
      const auto& setting = *setting_arg.as<usbdevfs_setinterface>();
      std::lock_guard lock(mutex_);
      // Like the kernel, an interface nobody claimed is claimed for the caller first.
      int error = claim(client, setting.interface);
      if (error == 0) {
        auto selected =
            kit_->select_alternate_setting(static_cast<std::uint8_t>(setting.interface),
                                           static_cast<std::uint8_t>(setting.altsetting));
        if (!selected) error = selected.error().code;
      }
      finish(error);
      return true;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      finish(ENODATA);  // no kernel driver is bound to any interface
      return true;
    case USBDEVFS_SUBMITURB:
      submit(client, arg);
      return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      reap(client, arg);
      return true;
    case USBDEVFS_DISCARDURB:
      discard(client, arg);
      return true;
    default:
      fmt::print(stderr, "usbfs emulation: unhandled ioctl {:#x} on {}\n", request, devnode_);
      return false;
  }
}

int UsbfsReceiver::claim(Client client, unsigned number) {
  if (number > 0xFF) return ENOENT;
  if (claims_[client].contains(number)) return 0;
  if (auto claimed = kit_->claim(static_cast<std::uint8_t>(number)); !claimed) {
    return claimed.error().code;
  }
  claims_[client].insert(number);
  return 0;
}

int UsbfsReceiver::release(Client client, unsigned number) {
  if (claims_[client].erase(number) == 0) return EINVAL;
  kit_->release(static_cast<std::uint8_t>(number));
  return 0;
}

void UsbfsReceiver::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  auto finish = [client](int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
  };
  UMockdevIoctlData* urb_data = resolve(arg, 0, sizeof(usbdevfs_urb));
  if (urb_data == nullptr) return finish(EFAULT);
  const auto& urb = *reinterpret_cast<usbdevfs_urb*>(urb_data->data);
  const bool in = (urb.endpoint & 0x80) != 0;
  auto record = std::make_shared<Urb>(client, urb_data, in);

  const auto place = endpoint_place(urb.endpoint);
  if (!place) return finish(ENOENT);
  const bool type_fits = urb.type == USBDEVFS_URB_TYPE_BULK ||
                         (urb.type == USBDEVFS_URB_TYPE_INTERRUPT && place->interrupt);
  if (!type_fits || urb.buffer_length < 0) return finish(EINVAL);
  const auto length = static_cast<std::size_t>(urb.buffer_length);
  std::vector<std::uint8_t> bytes;
  if (length > 0) {
    DataRef buffer(resolve(urb_data, offsetof(usbdevfs_urb, buffer), length));
    if (!buffer) return finish(EFAULT);
    if (!in) bytes.assign(buffer.data->data, buffer.data->data + length);
  }

  std::lock_guard lock(mutex_);
  if (unplugged_) return finish(ENODEV);
  if (const int error = claim(client, place->interface); error != 0) return finish(error);
  flying_[urb_data->client_addr] = record;
  auto done = [self = shared_from_this(), record](usb::TransferResult result) {
    self->completed(record, std::move(result));
  };
  record->pending = in ? kit_->submit_in(urb.endpoint, length, std::move(done))
                       : kit_->submit_out(urb.endpoint, std::move(bytes), std::move(done));
  finish(0);
}

void UsbfsReceiver::completed(const std::shared_ptr<Urb>& urb, usb::TransferResult result) {
  std::lock_guard lock(mutex_);
  flying_.erase(urb->data.data->client_addr);
  urb->result = std::move(result);
  done_[urb->client].push_back(urb);
}

void UsbfsReceiver::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  std::shared_ptr<Urb> urb;
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    auto& queue = done_[client];
    if (!queue.empty()) {
      urb = queue.front();
      queue.pop_front();
    }
    gone = unplugged_;
  }
  if (!urb) {
    if (!gone) std::this_thread::sleep_for(kEmptyReapPause);
    umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
    return;
  }

  usbdevfs_urb& out = urb->urb();
  out.status = urb_status(urb->result.error);
  out.actual_length = 0;
  if (urb->result.ok()) {
    if (urb->in) {
      const auto n = std::min(urb->result.data.size(), static_cast<std::size_t>(out.buffer_length));
      if (n > 0) std::memcpy(out.buffer, urb->result.data.data(), n);
      out.actual_length = static_cast<int>(n);
    } else {
      out.actual_length = out.buffer_length;
    }
  }
  DataRef slot(resolve(arg, 0, sizeof(void*)));
  if (!slot) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot.data, 0, urb->data.data);
  umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsReceiver::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  std::shared_ptr<usb::PendingTransfer> pending;
  if (arg->data_len >= static_cast<gint>(sizeof(unsigned long))) {
    unsigned long address = 0;
    std::memcpy(&address, arg->data, sizeof(address));
    std::lock_guard lock(mutex_);
    if (auto it = flying_.find(address); it != flying_.end() && it->second->client == client) {
      pending = it->second->pending;
    }
  }
  // The URB completes (normally as cancelled) through the kit and is reaped as usual.
  if (pending) pending->cancel();
  umockdev_ioctl_client_complete(client, pending ? 0 : -1, pending ? 0 : EINVAL);
}

void UsbfsReceiver::unplug() {
  {
    std::lock_guard lock(mutex_);
    if (std::exchange(unplugged_, true)) return;
  }
  kit_->unplug();
  const std::string syspath = syspath_of(device_number_);
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

void UsbfsReceiver::deny_access() {
  ::chmod((root_dir_ + devnode_).c_str(), 0);
}

}  // namespace sorvel::usbfs
