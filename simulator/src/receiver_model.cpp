#include "receiver_model.hpp"

#include <algorithm>

#include "command_names.hpp"
#include "kit.hpp"

namespace sorvel::simulator {

namespace {
namespace cmd = protocol::command;
namespace rsp = protocol::response;
using namespace std::chrono_literals;

constexpr auto kAnswerDelay = 1ms;
constexpr auto kAnnouncementSpacing = 3ms;

protocol::ReceiverConfigRecord receiver_config() {
  protocol::ReceiverConfigRecord config;
  config.wifi_tx_power = 8;
  config.wifi_channel = 6;
  config.wireless_retry = 3;
  config.lag_tolerant.value = 1000;
  return config;
}

protocol::TrackerConfigRecord tracker_config(const Scenario& scenario, const TrackerSpec& tracker) {
  protocol::TrackerConfigRecord config;
  config.receiver = scenario.receiver_address;
  config.wifi_tx_power = 8;
  config.wifi_channel = 6;
  config.wireless_retry = 3;
  config.lag_tolerant.value = 1000;
  config.index = static_cast<std::uint8_t>(tracker.body_part);
  config.battery = 4100;
  return config;
}
}  // namespace

std::optional<std::string> ReceiverModel::on_command(Kit& kit, const Bytes& transfer) {
  auto command = protocol::decode_command(transfer);
  if (!command) return std::nullopt;  // a real receiver ignores what it cannot read
  const std::string name(command_name(*command));
  const bool silent = scenario_.silent.contains(name);
  auto reply = [&](const protocol::Response& response) {
    if (!silent) answer(kit, response, kAnswerDelay);
  };
  auto tracker_of = [&](BodyPart part) -> const TrackerSpec* {
    for (const auto& tracker : scenario_.trackers) {
      if (tracker.body_part == part) return &tracker;
    }
    return nullptr;
  };

  std::visit(
      [&](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, cmd::GetInfo>) {
          reply(rsp::ReceiverInfo{{scenario_.receiver_address, scenario_.receiver_version}});
        } else if constexpr (std::is_same_v<C, cmd::TrackerSoftReset>) {
          stop_streaming();
          paired_.clear();
          reply(rsp::SoftResetDone{});
        } else if constexpr (std::is_same_v<C, cmd::Initiate>) {
          pair(kit, c, silent);
        } else if constexpr (std::is_same_v<C, cmd::Go>) {
          start_streaming(kit);
        } else if constexpr (std::is_same_v<C, cmd::Stop>) {
          stop_streaming();
        } else if constexpr (std::is_same_v<C, cmd::ReadReceiverConfig>) {
          reply(rsp::ReceiverConfig{receiver_config()});
        } else if constexpr (std::is_same_v<C, cmd::WriteReceiverConfig>) {
          reply(rsp::ReceiverConfigWrite{});
        } else if constexpr (std::is_same_v<C, cmd::ReadTrackerConfig>) {
          if (const TrackerSpec* tracker = tracker_of(c.part)) {
            reply(rsp::TrackerConfig{c.part, tracker_config(scenario_, *tracker)});
          }
        } else if constexpr (std::is_same_v<C, cmd::WriteTrackerConfig>) {
          if (tracker_of(c.part) != nullptr) reply(rsp::TrackerConfigWrite{c.part});
        } else if constexpr (std::is_same_v<C, cmd::ClearDCD>) {
          if (tracker_of(c.part) != nullptr) reply(rsp::DCDCleared{c.part});
        } else if constexpr (std::is_same_v<C, cmd::PowerOff>) {
          stop_streaming();
          reply(rsp::PoweredOff{});
        }
        // Calibration, time sync, resets and the firmware-update commands get no answer here.
      },
      command->as_variant());
  return name;
}

namespace {
Bytes response_transfer(const protocol::Response& response) {
  // Encoded straight into the transfer, then cut to size: building it from a stack buffer's
  // iterators makes g++ 12 at -O3 warn falsely of freeing a non-heap pointer.
  Bytes transfer(63);
  const auto size = protocol::encode(response, transfer);
  if (!size) return {};  // every response fits 63 bytes
  transfer.resize(*size);
  return transfer;
}
}  // namespace

void ReceiverModel::answer(Kit& kit, const protocol::Response& response,
                           std::chrono::microseconds delay) {
  Bytes transfer = response_transfer(response);
  if (transfer.empty()) return;
  kit.schedule(delay,
               [transfer = std::move(transfer)](Kit& k) { k.queue_response_locked(transfer); });
}

void ReceiverModel::queue(Kit& kit, const protocol::Response& response) {
  if (Bytes transfer = response_transfer(response); !transfer.empty()) {
    kit.queue_response_locked(std::move(transfer));
  }
}

void ReceiverModel::lose_tracker(Kit& kit, BodyPart part) {
  lost_.set(static_cast<std::size_t>(part));
  queue(kit, rsp::ConnectionLost{part});
}

void ReceiverModel::restore_tracker(Kit& kit, BodyPart part) {
  lost_.reset(static_cast<std::size_t>(part));
  queue(kit, rsp::TrackerReconnected{part});
}

void ReceiverModel::pair(Kit& kit, const cmd::Initiate& initiate, bool silent) {
  const std::size_t used = std::min<std::size_t>(initiate.count, initiate.group.size());
  const auto first = initiate.group.begin();
  const auto last = initiate.group.begin() + static_cast<std::ptrdiff_t>(used);
  paired_.clear();
  lost_.reset();
  std::chrono::microseconds at = kAnswerDelay;
  auto announce = [&](const protocol::Response& response) {
    if (!silent) answer(kit, response, at);
    at += kAnnouncementSpacing;
  };
  for (const TrackerSpec& tracker : scenario_.trackers) {
    if (std::find(first, last, tracker.body_part) == last) continue;
    const rsp::TrackerDiscovered discovered{tracker.address, tracker.body_part, tracker.version};
    switch (tracker.announce) {
      case Announce::Discovered:
        announce(discovered);
        paired_.push_back(&tracker);
        break;
      case Announce::Twice:
        announce(discovered);
        announce(discovered);
        paired_.push_back(&tracker);
        break;
      case Announce::Incompatible:
        announce(rsp::IncompatibleTracker{tracker.address, tracker.body_part, tracker.version});
        paired_.push_back(&tracker);
        break;
      case Announce::Repeated:
        announce(rsp::RepeatedTracker{tracker.address, tracker.body_part});
        break;
      case Announce::Silent:
        break;
    }
  }
  if (scenario_.ready_to_report) announce(rsp::ReadyToReport{});
}

void ReceiverModel::start_streaming(Kit& kit) {
  if (streaming_ || scenario_.rate_hz == 0) {
    streaming_ = streaming_ || scenario_.rate_hz != 0;
    return;
  }
  streaming_ = true;
  ticks_ = 0;
  stream_start_ = std::chrono::steady_clock::now();
  samples_from_.on_stream_start(stream_start_);
  kit.pace_locked();
}

void ReceiverModel::stop_streaming() {
  streaming_ = false;
  samples_from_.on_stream_stop();
}

std::optional<std::chrono::steady_clock::time_point> ReceiverModel::next_tick() const {
  if (!streaming_ || scenario_.rate_hz == 0) return std::nullopt;
  // Ticks keep to the stream's own clock, so a late tick does not slow the rate down.
  const double period = 1.0 / scenario_.rate_hz;
  return stream_start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(period * ticks_));
}

void ReceiverModel::tick(Kit& kit) {
  const double period = 1.0 / scenario_.rate_hz;
  const double now = period * static_cast<double>(ticks_);
  for (const TrackerSpec* tracker : paired_) {
    if (lost_.test(static_cast<std::size_t>(tracker->body_part))) continue;
    protocol::SensorReport report;
    report.body_part = tracker->body_part;
    report.header = static_cast<std::uint32_t>(ticks_);
    for (std::size_t i = 0; i < report.samples.size(); ++i) {
      const double at = now + period * static_cast<double>(i) / report.samples.size();
      report.samples[i] = samples_from_.sample(*tracker, at, samples_++);
    }
    kit.queue_report_locked(report);
  }
  ++ticks_;
}

}  // namespace sorvel::simulator
