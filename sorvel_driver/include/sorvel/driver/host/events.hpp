#pragma once
// What happens to the receiver link and to trackers, handed to the host's event handler. The
// default handler writes one log line per event.

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/host/version.hpp"
#include "sorvel/log/log.hpp"
#include "sorvel/protocol/semver.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel {

struct PairedTracker {
  BodyPart body_part;
  TrackerAddress address;
  protocol::SemVer version;
  bool operator==(const PairedTracker&) const = default;
};

namespace event {
struct TrackerFound {
  PairedTracker tracker;
};
struct TrackerFirmwareMismatch {
  PairedTracker tracker;
};
struct ReceiverFirmwareMismatch {
  TildeRequirement requirement;
  Version version;
};
struct TrackerDuplicated {
  BodyPart body_part;
};
struct PairingFinished {
  std::vector<PairedTracker> trackers;  ///< ascending address order
};
struct TrackerLost {
  BodyPart body_part;
};
struct TrackerRestored {
  BodyPart body_part;
};
struct ReceiverLost {
  DriverError error;
};
struct BiasChanged {
  BodyPart body_part;
  std::uint8_t bias;
};
}  // namespace event

using HostEvent = std::variant<event::TrackerFound, event::TrackerFirmwareMismatch,
                               event::ReceiverFirmwareMismatch, event::TrackerDuplicated,
                               event::PairingFinished, event::TrackerLost, event::TrackerRestored,
                               event::ReceiverLost, event::BiasChanged>;

/// Called synchronously on whichever task raised the event; must not block.
/// Thread safety: called from several threads at once.
using EventHandler = std::function<void(const HostEvent&)>;

struct EventLine {
  log::Level level;
  std::string message;
};

/// The default handler's line for `event`.
EventLine event_line(const HostEvent& event);

/// Logs every event under the host's target, formatting only when the level is admitted.
std::shared_ptr<const EventHandler> default_event_handler();

}  // namespace sorvel
