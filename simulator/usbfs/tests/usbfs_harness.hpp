#pragma once
// Drivers opened through the libusb backend on receivers emulated at the usbfs level.

#include "host_harness.hpp"
#include "sorvel/driver/usb/libusb_backend.hpp"
#include "sorvel/usbfs/usbfs_bus.hpp"

namespace sorvel::testing {

/// The process's emulated bus; the bus must exist before libusb is first initialised.
inline usbfs::Bus& bus() {
  auto bus = usbfs::Bus::instance();
  if (!bus) {
    ADD_FAILURE() << bus.error();
    std::abort();
  }
  return **bus;
}

inline std::unique_ptr<usb::Backend> libusb_backend() {
  bus();
  auto backend = usb::make_libusb_backend();
  EXPECT_TRUE(backend.has_value()) << backend.error().message;
  return backend ? std::move(*backend) : nullptr;
}

/// A receiver plugged into the emulated bus and a driver opened on it through libusb.
struct UsbfsDriver {
  std::shared_ptr<usbfs::PluggedReceiver> receiver;
  std::unique_ptr<usb::Backend> backend;
  std::shared_ptr<Driver> driver;

  explicit UsbfsDriver(simulator::Scenario scenario = {}, HostTimeouts timeouts = fast_timeouts())
      : receiver(bus().plug(std::move(scenario))), backend(libusb_backend()) {
    auto opened = open(timeouts);
    EXPECT_TRUE(opened.has_value()) << opened.error().debug();
    if (opened) driver = std::move(*opened);
  }

  DriverResult<std::shared_ptr<Driver>> open(HostTimeouts timeouts = fast_timeouts()) {
    auto device = open_receiver(*backend);
    if (!device) {
      ADD_FAILURE() << "no receiver could be opened";
      std::abort();
    }
    return run(Driver::open(std::move(*device), timeouts));
  }

  DriverResult<void> connect(std::vector<BodyPart> group) {
    return run(driver->connect(std::move(group)));
  }
  DriverResult<void> start() { return run(driver->start()); }
  Expected<PollResult, PollFailure> poll() { return *driver->poll(); }
  simulator::KitState state() const { return receiver->state(); }
};

}  // namespace sorvel::testing
