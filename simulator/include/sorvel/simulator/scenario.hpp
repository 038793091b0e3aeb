#pragma once
// What a virtual kit is: its receiver, its trackers and their behaviour, and scripted faults.
// Read from JSON; every key is optional and an absent key keeps the default kit's value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/protocol/expected.hpp"
#include "sorvel/protocol/semver.hpp"
#include "sorvel/simulator/body.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel::simulator {

/// How a tracker answers the receiver's pairing call.
enum class Announce : std::uint8_t {
  Discovered,    ///< TrackerDiscovered
  Incompatible,  ///< IncompatibleTracker
  Repeated,      ///< RepeatedTracker, and nothing else
  Silent,        ///< nothing
  Twice,         ///< TrackerDiscovered two times
};

enum class Motion : std::uint8_t { Still, Sway };

struct TrackerSpec {
  TrackerAddress address;
  BodyPart body_part = BodyPart::Head;
  protocol::SemVer version{1, 0, 0};
  Announce announce = Announce::Discovered;
};

using Bytes = std::vector<std::uint8_t>;

/// Transfers kept back to back in one buffer, so that a scripted list of tens of thousands costs
/// two allocations to build, copy or replay, not one per transfer.
class TransferList {
 public:
  TransferList() = default;
  /// For code that builds its list as separate transfers.
  TransferList(const std::vector<Bytes>& transfers);  // NOLINT(google-explicit-constructor)

  void push_back(std::span<const std::uint8_t> transfer);
  void reserve(std::size_t transfers, std::size_t bytes);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::span<const std::uint8_t> operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span(bytes_).subspan(begin, ends_[i] - begin);
  }
  bool operator==(const TransferList&) const = default;

 private:
  Bytes bytes_;
  std::vector<std::size_t> ends_;  ///< where each transfer ends in bytes_
};

struct ScriptedFailure {
  std::uint8_t endpoint = 0;
  TransferError status = TransferError::Stall;
};

/// Fired every time its trigger happens: a command variant's name, or "open".
struct ScriptAction {
  std::string on;
  std::uint32_t delay_ms = 0;
  /// Fires while the triggering command's own transfer is still in flight (at once, never
  /// delayed): that transfer then completes only once no response is left to read, or as
  /// Disconnected if the action unplugs. A host slow to see its command complete, or a receiver
  /// pulled out mid-command.
  bool in_flight = false;
  std::optional<Bytes> response;  ///< one IN transfer on 0x82 with exactly these bytes
  TransferList report_transfers;  ///< IN transfers on 0x81 with exactly these bytes
  /// Paces report_transfers: the first at once, then one every so many microseconds on the
  /// action's own clock. 0: all at once, as fast as the host reads them.
  std::uint32_t report_interval_us = 0;
  bool unplug = false;
  std::optional<ScriptedFailure> fail;
  /// The tracker on this body part stops reporting and the receiver says ConnectionLost.
  std::optional<BodyPart> lose_tracker;
  /// The tracker on this body part reports again and the receiver says TrackerReconnected.
  std::optional<BodyPart> restore_tracker;
};

struct Replay;

struct Scenario {
  bool present = true;
  TrackerAddress receiver_address{{90, 1, 2, 3, 4, 5}};
  protocol::SemVer receiver_version{2, 0, 1};
  std::set<std::string> silent;  ///< command names never answered
  std::vector<TrackerSpec> trackers = default_trackers();
  bool ready_to_report = true;
  std::uint32_t rate_hz = 100;  ///< reports per second per tracker; 0: none
  Motion motion = Motion::Sway;
  /// Every generated sample's value_a (which poll hands over unchanged in TrackerFrame) becomes
  /// the steady clock's time, in nanoseconds since its epoch, at which the kit completes the
  /// transfer carrying the sample: for latency measurements. The stamp is written into the
  /// transfer's bytes just before it completes, as a 9-byte varint. So that the transfer carrying
  /// a sample's stamp also carries its last byte, the kit ends a transfer early rather than split
  /// a sample; only a sample longer than the transfer is split, and stamped by the transfer that
  /// carries its stamp (or, when a transfer end cuts the stamp itself, when it is cut).
  bool stamp_completion = false;
  std::vector<ScriptAction> script;
  /// A simulated person wearing the trackers, whose samples replace `motion`'s.
  std::optional<BodyScenario> body;
  /// A recorded receiver played back instead of the model: it answers commands as the recording
  /// shows and nothing else of the scenario applies.
  std::shared_ptr<const Replay> replay;

  /// One tracker per body part, body part v at [16, 0, 0, 0, 0, v + 1], firmware 1.0.0.
  static std::vector<TrackerSpec> default_trackers();
};

/// Parses a scenario document; the error says what is wrong and where.
Expected<Scenario, std::string> parse_scenario(std::string_view json);

inline constexpr std::string_view kVirtualKitVariable = "SORVEL_VIRTUAL_KIT";
/// Most scenario files are a few kilobytes, a scripted stream of tens of thousands of transfers a
/// few megabytes; anything past this is not one.
inline constexpr std::size_t kMaxScenarioFileBytes = 16 * 1024 * 1024;

/// The scenario a value of SORVEL_VIRTUAL_KIT selects: "1" the default kit, a value whose first
/// non-blank character is "{" inline JSON, anything else the path of a regular file: a USB
/// capture (told by its pcap magic number) to replay at its recorded speed, or a JSON scenario
/// of at most kMaxScenarioFileBytes. The error names the variable (and the path).
Expected<Scenario, std::string> scenario_from_variable(std::string_view value);

}  // namespace sorvel::simulator
