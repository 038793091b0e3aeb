#include "sorvel/simulator/virtual_kit.hpp"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "kit.hpp"
#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/driver/usb/libusb_backend.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel::simulator {

namespace {

// Keyed by the scenario text. An entry lives as long as its kit: the kit's deleter erases it, so
// a process that tries many scenarios keeps nothing of those it let go.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Kit>, std::less<>> kits;
};

// One per process, never destroyed (a detached thread may drop the last handle to a kit while
// the process exits). A forked child has kits of its own: its parent's stay claimed by objects
// the child must not use.
Registry& registry() {
  return runtime::per_process<Registry>();
}

// Runs when the last handle to a kit goes, on whichever thread dropped it; nothing drops a kit
// reference while holding the registry lock.
struct UnregisterAndDelete {
  std::string key;

  void operator()(Kit* kit) const {
    {
      std::lock_guard lock(registry().mutex);
      auto& kits = registry().kits;
      // A new kit may have been registered under the key since the last handle went: leave it.
      if (auto entry = kits.find(key); entry != kits.end() && entry->second.expired()) {
        kits.erase(entry);
      }
    }
    // Outside the lock: the kit ends its pending transfers, whose callbacks may drop other kits.
    delete kit;
  }
};

std::shared_ptr<Kit> registered_kit(const std::string& key, const Scenario* create_from) {
  Registry& registered = registry();
  {
    std::lock_guard lock(registered.mutex);
    if (auto entry = registered.kits.find(key); entry != registered.kits.end()) {
      if (auto kit = entry->second.lock()) return kit;
    }
    if (create_from == nullptr) return nullptr;
  }
  // Built outside the lock, because its deleter takes the lock: a shared_ptr constructor that
  // throws, or losing the race below, drops it. Declared before the lock so it drops after.
  UnregisterAndDelete deleter{key};
  std::shared_ptr<Kit> fresh(new Kit(*create_from), std::move(deleter));
  std::lock_guard lock(registered.mutex);
  std::weak_ptr<Kit>& slot = registered.kits[key];
  if (auto kit = slot.lock()) return kit;  // another thread registered one meanwhile
  slot = fresh;
  return fresh;
}

}  // namespace

std::size_t registered_kit_count() {
  std::lock_guard lock(registry().mutex);
  return registry().kits.size();
}

namespace {

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
  std::shared_ptr<usb::PendingTransfer> read_stream(
      std::uint8_t endpoint, std::size_t length, std::shared_ptr<usb::StreamSink> sink) override {
    if (endpoint == kReportEndpoint) return kit_->read_reports(length, std::move(sink));
    return usb::Interface::read_stream(endpoint, length, std::move(sink));
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
  const auto value = platform::environment_variable(std::string(kVirtualKitVariable).c_str());
  if (!value || value->empty()) {
    auto backend = usb::make_libusb_backend();
    if (!backend) return unexpected("libusb: " + backend.error().message);
    return std::move(*backend);
  }
  auto scenario = scenario_from_variable(*value);
  if (!scenario) return unexpected(scenario.error());
  return std::unique_ptr<usb::Backend>(
      std::make_unique<VirtualKitBackend>(*value, std::move(*scenario)));
}

}  // namespace sorvel::simulator
