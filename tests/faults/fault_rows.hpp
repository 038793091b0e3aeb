#pragma once
// The fault matrix: each row is a stage of the driver's life, a fault that strikes there, and
// what the driver must answer. Both USB backends run every row they can produce.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host_harness.hpp"

namespace sorvel::testing::faults {

/// The driver step a fault meets. Stream: after a successful start, while frames arrive.
enum class Step : std::uint8_t { Open, Connect, Start, Stream };

inline std::string_view name(Step step) {
  constexpr std::string_view kNames[] = {"open", "connect", "start", "streaming"};
  return kNames[static_cast<std::size_t>(step)];
}

/// The test pulls the receiver out itself: before `step` begins (once the driver has noticed),
/// or during it, as soon as the host has logged a line starting with `after_line`. A pull at
/// Stream happens once the pollers have had fresh frames.
struct Pull {
  Step step;
  std::optional<std::string> after_line;
};

/// What a poll shows after streaming garbage: the first tracker's frame, fresh with this
/// value_a, or (no value) nothing fresh.
struct PolledFrame {
  std::optional<std::uint64_t> value_a;
};

using namespace std::chrono_literals;

/// Every wait long enough that only the fault can end it within a second...
inline HostTimeouts patient() {
  return {5s, 5s, 5s, 5s};
}
/// ...except the one a row expects to run out.
inline constexpr auto kShort = 200ms;
inline HostTimeouts short_get_info() {
  auto t = patient();
  t.get_info = kShort;
  return t;
}
inline HostTimeouts short_soft_reset() {
  auto t = patient();
  t.soft_reset = kShort;
  return t;
}
inline HostTimeouts short_per_tracker() {
  auto t = patient();
  t.per_tracker = kShort;
  return t;
}
inline HostTimeouts short_ready() {
  auto t = patient();
  t.ready = kShort;
  return t;
}

struct FaultRow {
  std::string name{};
  Step step{};  ///< the step that fails with `error` (Stream: none does)
  simulator::Scenario scenario{};
  std::optional<Pull> pull{};
  HostTimeouts timeouts = patient();
  std::vector<BodyPart> group{BodyPart::Head};
  std::size_t pollers = 0;                 ///< threads polling while streaming
  std::optional<std::size_t> transfers{};  ///< scripted report transfers, all read before checks
  std::optional<DriverError> error{};
  std::optional<TransferError> loss{};  ///< the receiver is lost (reported once) with this error
  std::optional<std::string> decode_error{};  ///< logged once for bytes that did not decode
  ConnectionStatus status = ConnectionStatus::NotConnected;  ///< afterwards
  std::variant<PollFailure, PolledFrame> poll = PollFailure::NotConnected;
};

inline std::ostream& operator<<(std::ostream& out, const FaultRow& row) {
  return out << row.name;
}

// --- scenarios --------------------------------------------------------------------------------

inline simulator::ScriptAction action_on(std::string command) {
  simulator::ScriptAction action;
  action.on = std::move(command);
  return action;
}
/// Pulled out right after `command` has gone through, or while its transfer is in flight.
inline simulator::ScriptAction unplug_on(std::string command, bool in_flight = false) {
  auto action = action_on(std::move(command));
  action.unplug = true;
  action.in_flight = in_flight;
  return action;
}
/// The next transfer on `endpoint` after `command` stalls.
inline simulator::ScriptAction stall_on(std::string command, std::uint8_t endpoint) {
  auto action = action_on(std::move(command));
  action.fail = simulator::ScriptedFailure{endpoint, TransferError::Stall};
  return action;
}
inline simulator::ScriptAction respond_on(std::string command, simulator::Bytes bytes,
                                          bool in_flight = false) {
  auto action = action_on(std::move(command));
  action.response = std::move(bytes);
  action.in_flight = in_flight;
  return action;
}

inline simulator::Scenario scripted(std::vector<simulator::ScriptAction> script,
                                    std::set<std::string> silent = {}) {
  simulator::Scenario scenario{};
  scenario.script = std::move(script);
  scenario.silent = std::move(silent);
  return scenario;
}

/// Head answers the pairing call, Hips never does: a group of both waits for Hips.
inline simulator::Scenario hips_never_answers() {
  simulator::Scenario scenario{};
  scenario.trackers = {
      {TrackerAddress{{16, 0, 0, 0, 0, 5}}, BodyPart::Head, {1, 0, 0}},
      {TrackerAddress{{16, 0, 0, 0, 0, 6}}, BodyPart::Hips, {1, 0, 0}, simulator::Announce::Silent},
  };
  return scenario;
}

inline simulator::Scenario never_ready(std::vector<simulator::ScriptAction> script = {}) {
  auto scenario = scripted(std::move(script));
  scenario.ready_to_report = false;
  return scenario;
}

/// More responses than the response channel keeps, sent while `command` is in flight, so that
/// none of them has been read when the driver starts waiting: its end falls behind.
inline simulator::Scenario flood_on(const std::string& command) {
  constexpr std::size_t kFlood = runtime::kBroadcastCapacity + 8;
  std::array<std::uint8_t, 63> buffer{};
  const auto size =
      protocol::encode(protocol::Response(protocol::response::ReceiverConfigWrite{}), buffer);
  const simulator::Bytes bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*size));
  return scripted(std::vector<simulator::ScriptAction>(kFlood, respond_on(command, bytes, true)));
}

// Malformed responses: an index past the last response kind, and records cut short.
inline const simulator::Bytes kUnknownResponse{0x40};
inline const simulator::Bytes kShortReceiverInfo{0x01, 90, 1};
inline const simulator::Bytes kShortDiscovery{0x02, 16, 0, 0};

/// The report frame of Head numbered from `first`.
inline simulator::Bytes head_frame(std::uint64_t first) {
  return protocol::encode_report_frame(numbered_report(BodyPart::Head, first));
}

/// A Head report stream: `garbage`, then a good frame numbered from 1, cut into transfers.
inline simulator::Scenario garbage_then_report(simulator::Bytes garbage, std::size_t& count) {
  append(garbage, head_frame(1));
  const auto cut = transfers(garbage);
  count = cut.size();
  return scripted_stream(cut);
}

/// Bytes from a fixed seed, with no 'S' among them so that no marker can appear by chance.
inline simulator::Bytes random_bytes(std::size_t count) {
  std::mt19937 generator(20240611);
  simulator::Bytes bytes(count);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(generator());
    if (byte == 'S') byte = 's';
  }
  return bytes;
}

/// A frame header declaring `length` payload bytes.
inline simulator::Bytes frame_header(std::uint16_t length) {
  return {'S',
          'O',
          'R',
          '.',
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>(length >> 8)};
}

/// A Head report whose frame declares only its first `kept` payload bytes.
inline simulator::Bytes truncated_frame(std::size_t kept) {
  const auto whole = head_frame(100);
  simulator::Bytes frame = frame_header(static_cast<std::uint16_t>(kept));
  frame.insert(frame.end(), whole.begin() + protocol::kReportHeaderSize,
               whole.begin() + static_cast<std::ptrdiff_t>(protocol::kReportHeaderSize + kept));
  return frame;
}

/// A Head report numbered from `first` whose frame declares `extra` bytes more, filled with 0xEE.
inline simulator::Bytes padded_frame(std::uint64_t first, std::size_t extra) {
  simulator::Bytes frame = head_frame(first);
  const std::size_t length = frame.size() - protocol::kReportHeaderSize + extra;
  frame[4] = static_cast<std::uint8_t>(length & 0xFF);
  frame[5] = static_cast<std::uint8_t>(length >> 8);
  frame.insert(frame.end(), extra, 0xEE);
  return frame;
}

/// A Head report frame whose body part is out of range.
inline simulator::Bytes unknown_body_part_frame() {
  simulator::Bytes frame = head_frame(100);
  frame[protocol::kReportHeaderSize] = 0x40;
  return frame;
}

inline constexpr std::string_view kResponseDecodeError =
    "error receiving usb response: ReportError";
inline constexpr std::string_view kReportDecodeError = "error receiving usb data: ReportError";
inline std::string response_error(std::string_view error) {
  return fmt::format("{}({})", kResponseDecodeError, error);
}
inline std::string report_error(std::string_view error) {
  return fmt::format("{}({})", kReportDecodeError, error);
}

// --- the rows ---------------------------------------------------------------------------------

inline std::vector<FaultRow> fault_rows() {
  using enum Step;
  using Status = ConnectionStatus;
  const DriverError lost = DriverError::receiver_connection_lost();
  const auto transfer = [](TransferError e) { return DriverError::serial_transfer(e); };
  const std::string discovered = "Discovered tracker ";
  const std::string all_announced = "tracker list received: ";
  std::vector<FaultRow> rows{
      // Unplugged at each stage.
      {.name = "unplug_before_get_info",
       .step = Open,
       .pull = Pull{Open, {}},
       .error = DriverError::serial_port(system_error_from_errno(ENODEV))},
      {.name = "unplug_after_get_info",
       .step = Connect,
       .pull = Pull{Connect, {}},
       .error = DriverError::receiver_not_connected(),
       .loss = TransferError::Disconnected},
      {.name = "unplug_during_soft_reset",
       .step = Connect,
       .scenario = scripted({unplug_on("TrackerSoftReset")}),
       .error = lost,
       .loss = TransferError::Disconnected},
      {.name = "unplug_while_sending_soft_reset",
       .step = Connect,
       .scenario = scripted({unplug_on("TrackerSoftReset", true)}),
       .error = transfer(TransferError::Disconnected),
       .loss = TransferError::Disconnected},
      {.name = "unplug_during_announcements",
       .step = Connect,
       .scenario = hips_never_answers(),
       .pull = Pull{Connect, discovered},
       .group = {BodyPart::Head, BodyPart::Hips},
       .error = lost,
       .loss = TransferError::Disconnected},
      {.name = "unplug_during_ready_wait",
       .step = Connect,
       .scenario = never_ready(),
       .pull = Pull{Connect, all_announced},
       .error = lost,
       .loss = TransferError::Disconnected},
      {.name = "unplug_before_start",
       .step = Start,
       .pull = Pull{Start, {}},
       .error = transfer(TransferError::Disconnected),
       .loss = TransferError::Disconnected,
       .status = Status::Connected,
       .poll = PollFailure::NotStarted},
      {.name = "unplug_during_start",
       .step = Start,
       .scenario = scripted({unplug_on("Go", true)}),
       .error = transfer(TransferError::Disconnected),
       .loss = TransferError::Disconnected,
       .status = Status::Connected,
       .poll = PollFailure::NotStarted},
      {.name = "unplug_while_streaming_and_polled_from_threads",
       .step = Stream,
       .pull = Pull{Stream, {}},
       .group = {BodyPart::Head, BodyPart::Chest, BodyPart::LeftHand},
       .pollers = 4,
       .loss = TransferError::Disconnected,
       .status = Status::ReportingData,
       .poll = PollFailure::NoData},

      // A stall on each endpoint.
      {.name = "stall_on_reports_0x81",
       .step = Stream,
       .scenario = scripted({stall_on("Go", kReportEndpoint)}),
       .loss = TransferError::Stall,
       .status = Status::ReportingData,
       .poll = PollFailure::NoData},
      {.name = "stall_on_responses_0x82",
       .step = Connect,
       .scenario = scripted({stall_on("TrackerSoftReset", kResponseEndpoint)}),
       .error = lost,
       .loss = TransferError::Stall},
      {.name = "stall_on_commands_0x01_while_pairing",
       .step = Connect,
       .scenario = scripted({stall_on("TrackerSoftReset", kCommandEndpoint)}),
       .error = transfer(TransferError::Stall)},
      {.name = "stall_on_commands_0x01_at_start",
       .step = Start,
       .scenario = scripted({stall_on("Initiate", kCommandEndpoint)}),
       .error = transfer(TransferError::Stall),
       .status = Status::Connected,
       .poll = PollFailure::NotStarted},

      // Responses that do not decode are logged and waited past, until the wait runs out.
      {.name = "unknown_response_instead_of_receiver_info",
       .step = Open,
       .scenario = scripted({respond_on("GetInfo", kUnknownResponse)}, {"GetInfo"}),
       .timeouts = short_get_info(),
       .error = DriverError::response_timeout(),
       .decode_error = response_error("SerdeDeCustom")},
      {.name = "short_receiver_info",
       .step = Open,
       .scenario = scripted({respond_on("GetInfo", kShortReceiverInfo)}, {"GetInfo"}),
       .timeouts = short_get_info(),
       .error = DriverError::response_timeout(),
       .decode_error = response_error("DeserializeUnexpectedEnd")},
      {.name = "empty_response_instead_of_soft_reset_done",
       .step = Connect,
       .scenario = scripted({respond_on("TrackerSoftReset", {})}, {"TrackerSoftReset"}),
       .timeouts = short_soft_reset(),
       .error = DriverError::response_timeout(),
       .decode_error = response_error("DeserializeUnexpectedEnd")},
      {.name = "short_announcement",
       .step = Connect,
       .scenario = scripted({respond_on("Initiate", kShortDiscovery)}, {"Initiate"}),
       .timeouts = short_per_tracker(),
       .error = DriverError::pairing_timeout(),
       .decode_error = response_error("DeserializeUnexpectedEnd")},
      {.name = "empty_response_instead_of_ready",
       .step = Connect,
       .scenario = never_ready({respond_on("Initiate", {})}),
       .timeouts = short_ready(),
       .error = DriverError::trackers_not_ready(),
       .decode_error = response_error("DeserializeUnexpectedEnd")},

      // A flood of responses: the driver's end of the response channel falls behind.
      {.name = "response_flood_during_open",
       .step = Open,
       .scenario = flood_on("GetInfo"),
       .error = lost},
      {.name = "response_flood_during_soft_reset",
       .step = Connect,
       .scenario = flood_on("TrackerSoftReset"),
       .error = lost},
  };

  // Garbage in the report stream: logged when a frame's payload does not decode, skipped
  // otherwise; the good frame after it still arrives.
  struct Garbage {
    std::string name;
    simulator::Bytes bytes;
    std::optional<std::string> decode_error;
    std::optional<std::uint64_t> value_a = 1;  ///< the fresh frame that follows
  };
  const std::vector<Garbage> garbage{
      {"random_bytes_before_a_report", random_bytes(1000), {}},
      {"truncated_report", truncated_frame(10), report_error("DeserializeUnexpectedEnd")},
      {"report_of_length_zero", frame_header(0), report_error("DeserializeUnexpectedEnd")},
      {"report_with_an_unknown_body_part", unknown_body_part_frame(),
       report_error("SerdeDeCustom")},
      // The declared length covers the report and padding: the padding is skipped, so the
      // good frame after it replaces the padded one's.
      {"report_longer_than_its_content", padded_frame(500, 16), {}},
      // No report is that long: a corrupted header, skipped at once, so the good frame after
      // it is not swallowed as its payload.
      {"report_of_an_impossible_length", frame_header(0xFFFF),
       report_error("DeserializeBadEncoding")},
  };
  for (const auto& g : garbage) {
    FaultRow row{.name = g.name,
                 .step = Stream,
                 .transfers = 0,
                 .decode_error = g.decode_error,
                 .status = Status::ReportingData,
                 .poll = PolledFrame{g.value_a}};
    row.scenario = garbage_then_report(g.bytes, *row.transfers);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace sorvel::testing::faults
