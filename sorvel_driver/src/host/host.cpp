#include "sorvel/driver/host/host.hpp"

#include <array>
#include <stdexcept>

#include "sorvel/driver/runtime/with_timeout.hpp"
#include "sorvel/log/log.hpp"

namespace sorvel {

namespace {

namespace cmd = protocol::command;
namespace rsp = protocol::response;
using log::kHostTarget;

/// Receives until `pick` returns a value. Any receive error (the channel closed because the
/// response reader stopped, or this end fell behind) means the link to the receiver is lost.
template <typename T, typename Pick>
asio::awaitable<DriverResult<T>> receive_until(ResponseReceiver& receiver, Pick pick) {
  for (;;) {
    auto received = co_await receiver.recv();
    if (!received) co_return unexpected(DriverError::receiver_connection_lost());
    if (std::optional<T> value = pick(*received)) co_return std::move(*value);
  }
}

/// The same with a deadline fixed now; responses of other kinds do not extend it.
template <typename T, typename Pick>
asio::awaitable<DriverResult<T>> wait_for(ResponseReceiver& receiver,
                                          std::chrono::milliseconds timeout, DriverError on_timeout,
                                          Pick pick) {
  auto result =
      co_await runtime::with_timeout(receive_until<T>(receiver, std::move(pick)), timeout);
  if (!result) co_return unexpected(std::move(on_timeout));
  co_return std::move(*result);
}

/// Picks the first response of variant `R`.
template <typename R>
auto first_of() {
  return [](const protocol::Response& response) -> std::optional<R> {
    if (const auto* wanted = std::get_if<R>(&response.as_variant())) return *wanted;
    return std::nullopt;
  };
}

/// Asks the receiver who it is.
asio::awaitable<DriverResult<protocol::ReceiverInfo>> identify(UsbSession& session,
                                                               std::chrono::milliseconds timeout) {
  // The first receiver end exists before GetInfo goes out, so no answer can slip past it.
  ResponseReceiver first = session.take_first_receiver();
  if (auto sent = co_await session.send_command(cmd::GetInfo{}); !sent) {
    co_return unexpected(std::move(sent).error());
  }
  auto answer = co_await wait_for<rsp::ReceiverInfo>(
      first, timeout, DriverError::response_timeout(), first_of<rsp::ReceiverInfo>());
  if (!answer) co_return unexpected(std::move(answer).error());
  co_return answer->info;
}

std::string pairing_text(const PairingResult& paired) {
  std::string text = "{";
  for (const auto& [address, tracker] : paired) {
    if (text.size() > 1) text += ", ";
    text += fmt::format("{}: ({}, {})", address, tracker.first, tracker.second);
  }
  return text + "}";
}

}  // namespace

Expected<TildeRequirement, runtime::InternalError> firmware_requirement(
    std::string_view driver_version) {
  constexpr std::string_view kPrefix = "firmware.";
  const auto version = parse_version(driver_version);
  if (!version || !version->build.starts_with(kPrefix)) {
    return unexpected(runtime::InternalError{"Firmware version constraint not set."});
  }
  // Appended rather than "~" + substr(): GCC 12 at -O3 sees a bogus overlap in the latter.
  std::string tilde = "~";
  tilde += std::string_view(version->build).substr(kPrefix.size());
  const auto requirement = parse_tilde_requirement(tilde);
  if (!requirement) {
    return unexpected(runtime::InternalError{"Malformed firmware version constraint."});
  }
  return *requirement;
}

Host::Host(std::unique_ptr<UsbSession> session, LinkState link, protocol::ReceiverInfo info,
           HostTimeouts timeouts)
    : session_(std::move(session)),
      link_(std::move(link)),
      receiver_info_(info),
      timeouts_(timeouts) {}

Host::~Host() {
  // Consumers see a close, not a loss, and no frame after it; the session's end then stops the
  // readers and releases the receiver.
  link_.frames->end(FrameStreamEnd::Closed);
}

asio::awaitable<DriverResult<std::shared_ptr<Host>>> Host::open(
    std::shared_ptr<usb::Device> device, std::shared_ptr<const EventHandler> handler,
    HostTimeouts timeouts) {
  const auto requirement = firmware_requirement(kDriverVersion);
  // A driver built without its firmware requirement is broken: an internal error, not a value.
  if (!requirement) throw std::logic_error(requirement.error().message);
  log::info(kHostTarget, "compatible firmware version is {}", *requirement);

  LinkState link;
  link.handler = std::move(handler);
  auto session = UsbSession::open(std::move(device), link);
  if (!session) co_return unexpected(std::move(session).error());
  auto answer = co_await identify(**session, timeouts.get_info);
  if (!answer) {
    // The session ends here on the runtime, where its destructor cannot wait for the response
    // reader: wait for it now, so that the receiver is free again once the failure is seen.
    co_await (*session)->close();
    co_return unexpected(std::move(answer).error());
  }
  const protocol::ReceiverInfo info = *answer;
  log::info(kHostTarget, "Receiver info: {}", info);
  link.receiver_connected->store(true);

  const protocol::SemVer& v = info.version;
  const Version version{v.major, v.minor, v.patch, {}, {}};
  if (!requirement->matches(version)) {
    (*link.handler)(event::ReceiverFirmwareMismatch{*requirement, version});
  }

  std::shared_ptr<Host> host(new Host(std::move(*session), link, info, timeouts));
  if (auto started = host->session_->start_report_reader(host->routing_); !started) {
    co_await host->session_->close();
    co_return unexpected(std::move(started).error());
  }
  co_return host;
}

DriverResult<ResponseReceiver> Host::subscribe() {
  if (!receiver_connected()) return unexpected(DriverError::receiver_not_connected());
  return session_->subscribe();
}

asio::awaitable<DriverResult<TrackerSet>> Host::pair(std::vector<BodyPart> group) {
  const auto initiate = cmd::Initiate::for_group(group);
  if (!initiate) {
    co_return unexpected(DriverError::command_failed(
        fmt::format("the group has more than {} body parts", protocol::kGroupSlots)));
  }
  auto pairing = co_await pairing_.lock();
  co_await drain(*pairing);
  // A cancelled pairing leaves the stage where it stopped (the exception passes this by); one
  // that ended by itself, well or not, leaves nothing the next must wait for.
  auto result = co_await pair_locked(std::move(group), *initiate, *pairing);
  *pairing = {};
  co_return result;
}

asio::awaitable<void> Host::drain(OutstandingAnswers& outstanding) {
  // Answers that are not awaited are dropped silently: whatever the receiver does not send in
  // time is not waited for again, and a lost link fails the pairing that follows by itself.
  if (outstanding.receiver) {
    if (outstanding.soft_reset) {
      (void)co_await wait_for<rsp::SoftResetDone>(*outstanding.receiver, timeouts_.soft_reset,
                                                  DriverError::response_timeout(),
                                                  first_of<rsp::SoftResetDone>());
    }
    if (outstanding.ready) {
      (void)co_await wait_for<rsp::ReadyToReport>(*outstanding.receiver, timeouts_.ready,
                                                  DriverError::trackers_not_ready(),
                                                  first_of<rsp::ReadyToReport>());
    }
  }
  outstanding = {};
}

asio::awaitable<DriverResult<TrackerSet>> Host::pair_locked(std::vector<BodyPart> group,
                                                            const cmd::Initiate& initiate,
                                                            OutstandingAnswers& outstanding) {
  auto reset_receiver = subscribe();
  if (!reset_receiver) co_return unexpected(std::move(reset_receiver).error());
  outstanding.receiver = std::move(*reset_receiver);
  outstanding.soft_reset = true;  // from before it is sent: a cancelled send may have gone out
  if (auto sent = co_await session_->send_command(cmd::TrackerSoftReset{}); !sent) {
    co_return unexpected(std::move(sent).error());
  }
  auto reset = co_await wait_for<rsp::SoftResetDone>(*outstanding.receiver, timeouts_.soft_reset,
                                                     DriverError::response_timeout(),
                                                     first_of<rsp::SoftResetDone>());
  if (!reset) co_return unexpected(std::move(reset).error());
  outstanding.soft_reset = false;

  auto receiver = subscribe();
  if (!receiver) co_return unexpected(std::move(receiver).error());
  outstanding.receiver = std::move(*receiver);
  outstanding.ready = true;
  if (auto sent = co_await session_->send_command(initiate); !sent) {
    co_return unexpected(std::move(sent).error());
  }
  log::info(kHostTarget, "connected command sent for group {}.",
            protocol::debug_text(initiate.group));

  auto paired = co_await collect_trackers(*outstanding.receiver, group.size());
  if (!paired) co_return unexpected(std::move(paired).error());
  if (log::enabled(log::Level::Info)) {
    log::info(kHostTarget, "tracker list received: {}.", pairing_text(*paired));
  }

  auto ready = co_await wait_for<rsp::ReadyToReport>(*outstanding.receiver, timeouts_.ready,
                                                     DriverError::trackers_not_ready(),
                                                     first_of<rsp::ReadyToReport>());
  if (!ready) co_return unexpected(std::move(ready).error());
  outstanding.ready = false;

  std::vector<PairedTracker> trackers;
  std::map<TrackerAddress, BodyPart> parts;
  for (const auto& [address, tracker] : *paired) {
    trackers.push_back({tracker.first, address, tracker.second});
    parts.emplace(address, tracker.first);
  }
  (*link_.handler)(event::PairingFinished{std::move(trackers)});
  expected_tracker_count_.store(group.size());
  TrackerSet set = TrackerSet::build(parts, *routing_, link_.receiver_connected);
  // An earlier pairing's trackers on the other body parts would still be routed, and so reach
  // every frame stream, while no poll shows them.
  std::array<bool, kBodyPartCount> paired_parts{};
  for (const auto& [address, part] : parts) paired_parts[static_cast<std::size_t>(part)] = true;
  for (std::size_t part = 0; part < kBodyPartCount; ++part) {
    if (!paired_parts[part]) routing_->clear(static_cast<BodyPart>(part));
  }
  {
    auto registry = co_await registry_.lock();
    *registry = std::move(*paired);
  }
  co_return set;
}

asio::awaitable<DriverResult<PairingResult>> Host::collect_trackers(ResponseReceiver& receiver,
                                                                    std::size_t count) {
  const EventHandler& handler = *link_.handler;
  PairingResult paired;
  // Each tracker gets a deadline of its own; a tracker announced twice is counted once.
  while (paired.size() < count) {
    auto accepted = co_await wait_for<PairedTracker>(
        receiver, timeouts_.per_tracker, DriverError::pairing_timeout(),
        [&](const protocol::Response& response) -> std::optional<PairedTracker> {
          const auto& r = response.as_variant();
          if (const auto* d = std::get_if<rsp::TrackerDiscovered>(&r)) {
            return PairedTracker{d->part, d->addr, d->version};
          }
          if (const auto* i = std::get_if<rsp::IncompatibleTracker>(&r)) {
            PairedTracker tracker{i->part, i->addr, i->version};
            handler(event::TrackerFirmwareMismatch{tracker});
            return tracker;
          }
          if (const auto* repeated = std::get_if<rsp::RepeatedTracker>(&r)) {
            handler(event::TrackerDuplicated{repeated->part});
          }
          return std::nullopt;
        });
    if (!accepted) co_return unexpected(std::move(accepted).error());
    paired.insert_or_assign(accepted->address, std::pair{accepted->body_part, accepted->version});
    handler(event::TrackerFound{*accepted});
  }
  co_return paired;
}

asio::awaitable<DriverResult<void>> Host::start() {
  auto registry = co_await registry_.lock();
  if (!registry->has_value()) co_return unexpected(DriverError::trackers_not_connected());
  co_return co_await session_->send_command(cmd::Go{});
}

}  // namespace sorvel
