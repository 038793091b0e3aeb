#pragma once
// Receivers emulated at the Linux usbfs level, under umockdev: sysfs entries and /dev/bus/usb
// nodes whose ioctls are answered by the virtual kit's own device model. libusb, unchanged, is
// what talks to them, so everything below the USB boundary runs as with a real receiver.
//
// The process must run with umockdev's preload library (`umockdev-wrapper`, or LD_PRELOAD of
// libumockdev-preload.so.0); `in_mock_environment` tells. The bus has to exist before libusb is
// first initialised in the process, since libusb watches the bus it found at that moment.
//
// Threads: ioctls are answered on umockdev's own thread, transfers completed on the kit's
// thread; neither ever needs the Python interpreter lock. Every member may be called from any
// thread.

#include <memory>
#include <string>

#include "sorvel/protocol/expected.hpp"
#include "sorvel/simulator/kit_state.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::usbfs {

/// One receiver on the bus, from plugging in until it is pulled out (or the process ends).
class PluggedReceiver {
 public:
  virtual ~PluggedReceiver() = default;
  /// "/dev/bus/usb/001/NNN"
  virtual const std::string& devnode() const = 0;
  /// The kit's state, claims and transfers as the device sees them.
  virtual simulator::KitState state() const = 0;
  /// Pulls it out: URBs in flight end with -ESHUTDOWN, every later ioctl fails with ENODEV, and
  /// a "remove" uevent announces it.
  virtual void unplug() = 0;
  /// Makes its node unopenable for anyone without CAP_DAC_OVERRIDE (no udev rule, in effect).
  virtual void deny_access() = 0;
};

class Bus {
 public:
  /// The process's bus: one testbed, made on first use and kept until the process ends (libusb
  /// keeps reading it until libusb_exit). The error says why no testbed could be made.
  static Expected<Bus*, std::string> instance();

  /// True when umockdev's preload library is in this process.
  static bool in_mock_environment();
  /// Starts this program again with the preload library, unless it is already there; returns
  /// only when it is (or when the new start failed).
  static void ensure_mock_environment(char** argv);

  virtual ~Bus() = default;
  /// The testbed's directory (what UMOCKDEV_DIR names).
  virtual const std::string& root_dir() const = 0;
  /// Plugs in a receiver that behaves as `scenario` says, at the next free device number.
  virtual std::shared_ptr<PluggedReceiver> plug(simulator::Scenario scenario) = 0;
};

}  // namespace sorvel::usbfs
