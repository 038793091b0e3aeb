#pragma once
// The virtual kit: a receiver and its trackers behind the USB boundary, for tests, demos and
// users without hardware.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/simulator/kit_state.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

class Kit;

/// Lists the kit registered under `key`. Within a process a key is one physical device: listing
/// again finds the same kit, with its claims and state, while any handle to it is open; once
/// every handle is gone the next listing finds it fresh, as if re-plugged.
class VirtualKitBackend final : public usb::Backend {
 public:
  /// `scenario` builds the kit when none is registered under `key`.
  VirtualKitBackend(std::string key, Scenario scenario);

  Expected<usb::DeviceList, SystemError> list_devices() override;

  /// The registered kit as it is now; nothing when no handle keeps one alive.
  std::optional<KitState> state() const;
  /// Pulls the kit out: pending and later transfers complete with Disconnected.
  void unplug();

 private:
  std::shared_ptr<Kit> kit() const;

  std::string key_;
  Scenario scenario_;
};

/// How many kits the process keeps registered, alive or not yet erased; for tests, which expect
/// it to fall back to zero once every handle to every kit is gone. Thread safety: any thread.
std::size_t registered_kit_count();

/// Has every simulated person of the process (see the scenario's "body") hold `pose` ("I", "T"
/// or "ski") for `seconds` from now: they turn into it quickly, hold still, then take up their
/// script again. Returns whether any simulated person exists; an unknown pose or a negative or
/// non-finite time is an error. Thread safety: any thread.
Expected<bool, std::string> ask_virtual_person(std::string_view pose, double seconds);

/// The backend SORVEL_VIRTUAL_KIT selects: libusb when it is unset or empty, else the virtual kit
/// of its value. A scenario that cannot be read is an error naming the variable, never a
/// fallback.
Expected<std::unique_ptr<usb::Backend>, std::string> backend_from_environment();

}  // namespace sorvel::simulator
