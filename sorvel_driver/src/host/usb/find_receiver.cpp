#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {

DeviceEntry* find_receiver(const DeviceList& devices) {
  for (const auto& entry : devices) {
    if (entry->vendor_id() == kReceiverVendorId && entry->product_id() == kReceiverProductId) {
      return entry.get();
    }
  }
  return nullptr;
}

}  // namespace sorvel::usb
