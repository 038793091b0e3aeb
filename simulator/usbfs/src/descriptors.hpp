#pragma once
// What the receiver tells the bus about itself: its descriptors and its sysfs entry.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvel::usbfs {

inline constexpr int kBusNumber = 1;
inline constexpr std::uint16_t kMaxPacketSize = 64;

/// The device descriptor followed by the whole configuration descriptor, as sysfs's
/// `descriptors` attribute holds them.
std::vector<std::uint8_t> receiver_descriptors();

/// The interface an endpoint belongs to, and whether it moves interrupt (not bulk) transfers.
struct EndpointPlace {
  std::uint8_t interface;
  bool interrupt;
};
std::optional<EndpointPlace> endpoint_place(std::uint8_t endpoint);

/// "/dev/bus/usb/001/NNN"
std::string devnode_of(int device_number);

/// The sysfs device path (below /sys) of the receiver with `device_number`.
std::string syspath_of(int device_number);

/// The receiver's entry in umockdev's record format, ready for umockdev_testbed_add_from_string.
std::string sysfs_record(int device_number);

}  // namespace sorvel::usbfs
