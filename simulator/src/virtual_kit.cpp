#include "sorvel/simulator/virtual_kit.hpp"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "kit.hpp"
#include "sorvel/driver/usb/libusb_backend.hpp"

namespace sorvel::simulator {

namespace {

std::mutex g_registry_mutex;
std::map<std::string, std::weak_ptr<Kit>, std::less<>> g_registry;

std::shared_ptr<Kit> registered_kit(const std::string& key, const Scenario* create_from) {
  std::lock_guard lock(g_registry_mutex);
  if (auto kit = g_registry[key].lock()) return kit;
  if (create_from == nullptr) return nullptr;
  auto kit = std::make_shared<Kit>(*create_from);
  g_registry[key] = kit;
  return kit;
}

class KitInterface final : public usb::Interface {
 public:
  KitInterface(std::shared_ptr<usb::Device> device, std::shared_ptr<Kit> kit, std::uint8_t number)
      : device_(std::move(device)), kit_(std::move(kit)), number_(number) {}
  ~KitInterface() override { kit_->release(number_); }

  std::uint8_t number() const override { return number_; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t setting) override {
    return kit_->select_alternate_setting(number_, setting);
  }
  std::shared_ptr<usb::PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                                  usb::TransferCallback done) override {
    return kit_->submit_in(endpoint, length, std::move(done));
  }
  std::shared_ptr<usb::PendingTransfer> submit_out(std::uint8_t endpoint,
                                                   std::vector<std::uint8_t> bytes,
                                                   usb::TransferCallback done) override {
    return kit_->submit_out(endpoint, std::move(bytes), std::move(done));
  }

 private:
  std::shared_ptr<usb::Device> device_;  // the device stays open while an interface is claimed
  std::shared_ptr<Kit> kit_;
  std::uint8_t number_;
};

class KitDevice final : public usb::Device, public std::enable_shared_from_this<KitDevice> {
 public:
  explicit KitDevice(std::shared_ptr<Kit> kit) : kit_(std::move(kit)) {}

  Expected<std::shared_ptr<usb::Interface>, SystemError> claim_interface(
      std::uint8_t number) override {
    if (auto claimed = kit_->claim(number); !claimed) return unexpected(claimed.error());
    return std::shared_ptr<usb::Interface>(
        std::make_shared<KitInterface>(shared_from_this(), kit_, number));
  }

 private:
  std::shared_ptr<Kit> kit_;
};

class KitEntry final : public usb::DeviceEntry {
 public:
  explicit KitEntry(std::shared_ptr<Kit> kit) : kit_(std::move(kit)) {}

  std::uint16_t vendor_id() const override { return usb::kReceiverVendorId; }
  std::uint16_t product_id() const override { return usb::kReceiverProductId; }
  Expected<std::shared_ptr<usb::Device>, SystemError> open() override {
    if (auto opened = kit_->open(); !opened) return unexpected(opened.error());
    return std::shared_ptr<usb::Device>(std::make_shared<KitDevice>(kit_));
  }

 private:
  std::shared_ptr<Kit> kit_;
};

}  // namespace

VirtualKitBackend::VirtualKitBackend(std::string key, Scenario scenario)
    : key_(std::move(key)), scenario_(std::move(scenario)) {}

Expected<usb::DeviceList, SystemError> VirtualKitBackend::list_devices() {
  usb::DeviceList devices;
  if (!scenario_.present) return devices;
  auto kit = registered_kit(key_, &scenario_);
  if (kit->present()) devices.push_back(std::make_unique<KitEntry>(std::move(kit)));
  return devices;
}

std::shared_ptr<Kit> VirtualKitBackend::kit() const {
  return registered_kit(key_, nullptr);
}

std::optional<KitState> VirtualKitBackend::state() const {
  if (auto kit = this->kit()) return kit->state();
  return std::nullopt;
}

void VirtualKitBackend::unplug() {
  if (auto kit = this->kit()) kit->unplug();
}

Expected<std::unique_ptr<usb::Backend>, std::string> backend_from_environment() {
  const char* value = std::getenv(std::string(kVirtualKitVariable).c_str());
  if (value == nullptr || *value == '\0') {
    auto backend = usb::make_libusb_backend();
    if (!backend) return unexpected("libusb: " + backend.error().message);
    return std::move(*backend);
  }
  auto scenario = scenario_from_variable(value);
  if (!scenario) return unexpected(scenario.error());
  return std::unique_ptr<usb::Backend>(
      std::make_unique<VirtualKitBackend>(value, std::move(*scenario)));
}

}  // namespace sorvel::simulator
