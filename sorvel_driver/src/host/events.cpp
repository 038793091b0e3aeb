#include "sorvel/driver/host/events.hpp"

namespace sorvel {

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

log::Level level_of(const HostEvent& event) {
  return std::visit(Overloaded{
                        [](const event::TrackerFound&) { return log::Level::Info; },
                        [](const event::TrackerFirmwareMismatch&) { return log::Level::Warn; },
                        [](const event::ReceiverFirmwareMismatch&) { return log::Level::Warn; },
                        [](const event::TrackerDuplicated&) { return log::Level::Error; },
                        [](const event::PairingFinished&) { return log::Level::Info; },
                        [](const event::TrackerLost&) { return log::Level::Error; },
                        [](const event::TrackerRestored&) { return log::Level::Info; },
                        [](const event::ReceiverLost&) { return log::Level::Error; },
                        [](const event::BiasChanged&) { return log::Level::Info; },
                    },
                    event);
}

std::string message_of(const HostEvent& event) {
  return std::visit(
      Overloaded{
          [](const event::TrackerFound& e) {
            return fmt::format("Discovered tracker {} at {} with version {}", e.tracker.address,
                               e.tracker.body_part, e.tracker.version);
          },
          [](const event::TrackerFirmwareMismatch& e) {
            return fmt::format("Tracker {} at {} has an incompatible firmware version {}",
                               e.tracker.address, e.tracker.body_part, e.tracker.version);
          },
          [](const event::ReceiverFirmwareMismatch& e) {
            return fmt::format("Receiver has incompatible version {}", e.version);
          },
          [](const event::TrackerDuplicated& e) {
            return fmt::format("Tracker {} is repeated", e.body_part);
          },
          [](const event::PairingFinished&) {
            return std::string("Finished pairing with trackers");
          },
          [](const event::TrackerLost& e) {
            return fmt::format("Tracker {} is disconnected.", e.body_part);
          },
          [](const event::TrackerRestored& e) {
            return fmt::format("Tracker {} is reconnected", e.body_part);
          },
          [](const event::ReceiverLost& e) {
            return fmt::format("Reciever is disconnected with error {}.", e.error);
          },
          [](const event::BiasChanged& e) {
            return fmt::format("Tracker {} bias is updated: {:b}", e.body_part, e.bias);
          },
      },
      event);
}

}  // namespace

EventLine event_line(const HostEvent& event) {
  return {level_of(event), message_of(event)};
}

std::shared_ptr<const EventHandler> default_event_handler() {
  return std::make_shared<const EventHandler>([](const HostEvent& event) {
    const log::Level level = level_of(event);
    if (log::enabled(level)) log::log(level, log::kHostTarget, "{}", message_of(event));
  });
}

}  // namespace sorvel
