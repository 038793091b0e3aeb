#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

#include "descriptors.hpp"
#include "usbfs_receiver.hpp"

namespace sorvel::usbfs {

namespace {

std::string take_string(gchar* text) {
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer receiver) {
  return static_cast<UsbfsReceiver*>(receiver)->handle_ioctl(client) ? TRUE : FALSE;
}

class TestbedBus final : public Bus {
 public:
  explicit TestbedBus(UMockdevTestbed* testbed)
      : testbed_(testbed), root_dir_(take_string(umockdev_testbed_get_root_dir(testbed))) {
    // Reachable by a process without privileges too, so that refused access can be tried.
    ::chmod(root_dir_.c_str(), 01777);
  }

  const std::string& root_dir() const override { return root_dir_; }

  std::shared_ptr<PluggedReceiver> plug(simulator::Scenario scenario) override {
    std::lock_guard lock(mutex_);
    const int number = next_device_number_++;
    auto receiver =
        std::make_shared<UsbfsReceiver>(testbed_, root_dir_, number, std::move(scenario));
    // Kept with the bus: the node's handler refers to the receiver until the process ends.
    receivers_.push_back(receiver);
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_after(handler, "handle-ioctl", G_CALLBACK(on_ioctl), receiver.get());
    // The handler first, so the node answers as soon as the "add" uevent is out.
    umockdev_testbed_attach_ioctl(testbed_, devnode_of(number).c_str(), handler, nullptr);
    g_object_unref(handler);
    // The preload library connects to the node's socket before it opens the node itself: the
    // node's own mode is what decides who may open it.
    ::chmod((root_dir_ + "/ioctl" + devnode_of(number)).c_str(), 0777);
    umockdev_testbed_add_from_string(testbed_, sysfs_record(number).c_str(), nullptr);
    return receiver;
  }

 private:
  UMockdevTestbed* const testbed_;
  const std::string root_dir_;
  std::mutex mutex_;
  int next_device_number_ = 2;  // 1 is the root hub's
  std::vector<std::shared_ptr<UsbfsReceiver>> receivers_;
};

}  // namespace

bool Bus::in_mock_environment() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr &&
         std::string_view(preload).find("libumockdev-preload") != std::string_view::npos;
}

void Bus::ensure_mock_environment(char** argv) {
  if (in_mock_environment()) return;
  auto prepend = [](const char* name, std::string first) {
    if (const char* rest = std::getenv(name); rest != nullptr && *rest != '\0') {
      first += std::string(":") + rest;
    }
    ::setenv(name, first.c_str(), 1);
  };
  prepend("LD_PRELOAD", "libumockdev-preload.so.0");
  // ASan wants its runtime first in the library list; here the preload library must be.
  prepend("ASAN_OPTIONS", "verify_asan_link_order=0");
  ::execv("/proc/self/exe", argv);
}

Expected<Bus*, std::string> Bus::instance() {
  static std::mutex mutex;
  static Bus* bus = nullptr;  // never destroyed: libusb reads the testbed until the process ends
  std::lock_guard lock(mutex);
  if (bus == nullptr) {
    if (!in_mock_environment()) {
      return unexpected(std::string(
          "the usbfs emulation needs umockdev's preload library: run under umockdev-wrapper"));
    }
    bus = new TestbedBus(umockdev_testbed_new());
  }
  return bus;
}

}  // namespace sorvel::usbfs
