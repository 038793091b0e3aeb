#pragma once
// What stands behind the virtual kit's USB device: a receiver that acts on being opened and on
// each command, and may want to make reports on a clock of its own. The scripted model and the
// replay player are the two; the kit owns one and calls it with the kit's lock held.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

class Kit;

class Receiver {
 public:
  /// Ends the command's own OUT transfer; `hold` keeps it until no response is left to read.
  using CommandEnd = std::function<void(bool hold)>;

  virtual ~Receiver() = default;

  /// The host has opened the device.
  virtual void on_open(Kit& kit) = 0;
  /// A command's OUT transfer has reached the receiver. Calls `end` exactly once, at the moment
  /// the transfer ends relative to what the receiver queues.
  virtual void on_command(Kit& kit, const Bytes& command, const CommandEnd& end) = 0;
  /// When the next round of reports is due; nothing while the receiver makes none.
  virtual std::optional<std::chrono::steady_clock::time_point> next_report_due() const {
    return std::nullopt;
  }
  /// Queues the round of reports next_report_due() named.
  virtual void make_reports(Kit& /*kit*/) {}
  /// Whether the receiver streams reports of its own (Go received and not stopped).
  virtual bool streaming() const { return false; }
  /// The device has been pulled out.
  virtual void on_unplug() {}
};

/// The receiver `scenario` describes: its replay when it has one, else the scripted model. The
/// scenario outlives it.
std::unique_ptr<Receiver> make_receiver(const Scenario& scenario);

}  // namespace sorvel::simulator
