#pragma once
// One emulated receiver: the usbfs ioctls libusb issues on its node, answered by a virtual kit.
//
// Threads: `handle_ioctl` runs on umockdev's thread; the kit completes
// transfers on its own thread. State sits behind one mutex, which is never held while a kit
// call could call back (the kit only ever posts its completions).

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "kit.hpp"
#include "sorvel/usbfs/usbfs_bus.hpp"

namespace sorvel::usbfs {

class UsbfsReceiver final : public PluggedReceiver,
                            public std::enable_shared_from_this<UsbfsReceiver> {
 public:
  UsbfsReceiver(UMockdevTestbed* testbed, std::string root_dir, int device_number,
                simulator::Scenario scenario);

  const std::string& devnode() const override { return devnode_; }
  simulator::KitState state() const override { return kit_->state(); }
  void unplug() override;
  void deny_access() override;

  /// Answers one ioctl; false for requests usbfs would not know.
  bool handle_ioctl(UMockdevIoctlClient* client);

 private:
  struct Urb;
  using Client = const void*;  // identity of one open file of the node

  void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  int claim(Client client, unsigned number);  // 0 or an errno
  int release(Client client, unsigned number);
  void completed(const std::shared_ptr<Urb>& urb, usb::TransferResult result);

  UMockdevTestbed* const testbed_;
  const std::string root_dir_;
  const int device_number_;
  const std::string devnode_;
  const std::shared_ptr<simulator::Kit> kit_;

  std::mutex mutex_;
  bool unplugged_ = false;                                   // guarded by mutex_
  std::map<Client, std::set<unsigned>> claims_;              // guarded by mutex_
  std::map<unsigned long, std::shared_ptr<Urb>> flying_;     // by client address; mutex_
  std::map<Client, std::deque<std::shared_ptr<Urb>>> done_;  // ready to reap; mutex_
};

}  // namespace sorvel::usbfs
