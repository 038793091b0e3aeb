#include "descriptors.hpp"

#include <fmt/format.h>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usbfs {

namespace {

constexpr std::uint8_t lo(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}
constexpr std::uint8_t hi(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}

// Interface 0 streams sensor reports (bulk IN 0x81); interface 1 carries commands (bulk OUT
// 0x01) and their answers (interrupt IN 0x82); interface 2 has no endpoint but is claimed too.
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kInterrupt = 0x03;

void add_interface(std::vector<std::uint8_t>& out, std::uint8_t number, std::uint8_t endpoints) {
  out.insert(out.end(), {9, 0x04, number, 0, endpoints, 0xFF, 0x00, 0x00, 0});
}

void add_endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint8_t type) {
  out.insert(out.end(), {7, 0x05, address, type, lo(kMaxPacketSize), hi(kMaxPacketSize),
                         static_cast<std::uint8_t>(type == kInterrupt ? 1 : 0)});
}

}  // namespace

std::vector<std::uint8_t> receiver_descriptors() {
  std::vector<std::uint8_t> config;
  add_interface(config, 0, 1);
  add_endpoint(config, 0x81, kBulk);
  add_interface(config, 1, 2);
  add_endpoint(config, 0x01, kBulk);
  add_endpoint(config, 0x82, kInterrupt);
  add_interface(config, 2, 0);
  const auto total = static_cast<std::uint16_t>(9 + config.size());

  std::vector<std::uint8_t> out{
      18,
      0x01,
      0x00,
      0x02,  // USB 2.0
      0x00,
      0x00,
      0x00,
      64,  // class per interface; control endpoint of 64 bytes
      lo(usb::kReceiverVendorId),
      hi(usb::kReceiverVendorId),
      lo(usb::kReceiverProductId),
      hi(usb::kReceiverProductId),
      0x01,
      0x02,  // device release 2.01
      0,
      0,
      0,
      1,  // no strings; one configuration
  };
  out.insert(out.end(), {9, 0x02, lo(total), hi(total), 3, 1, 0, 0x80, 50});
  out.insert(out.end(), config.begin(), config.end());
  return out;
}

std::optional<EndpointPlace> endpoint_place(std::uint8_t endpoint) {
  switch (endpoint) {
    case 0x81:
      return EndpointPlace{0, false};
    case 0x01:
      return EndpointPlace{1, false};
    case 0x82:
      return EndpointPlace{1, true};
    default:
      return std::nullopt;
  }
}

std::string devnode_of(int device_number) {
  return fmt::format("/dev/bus/usb/{:03}/{:03}", kBusNumber, device_number);
}

std::string syspath_of(int device_number) {
  return fmt::format("/sys/devices/pci0000:00/0000:00:14.0/usb{}/{}-{}", kBusNumber, kBusNumber,
                     device_number);
}

std::string sysfs_record(int device_number) {
  std::string hex;
  for (std::uint8_t byte : receiver_descriptors()) hex += fmt::format("{:02x}", byte);
  const std::string devnode = devnode_of(device_number);
  return fmt::format(
      "P: {}\n"
      "N: {}\n"
      "E: SUBSYSTEM=usb\n"
      "E: DEVTYPE=usb_device\n"
      "E: DRIVER=usb\n"
      "E: DEVNAME={}\n"
      "E: BUSNUM={:03}\n"
      "E: DEVNUM={:03}\n"
      "A: busnum={}\\n\n"
      "A: devnum={}\\n\n"
      "A: bConfigurationValue=1\\n\n"
      "A: speed=12\\n\n"
      "H: descriptors={}\n",
      syspath_of(device_number).substr(4), devnode.substr(5), devnode, kBusNumber, device_number,
      kBusNumber, device_number, hex);
}

}  // namespace sorvel::usbfs
