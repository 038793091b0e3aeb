#include "sorvel/simulator/scenario.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "body/truth_file.hpp"
#include "command_names.hpp"
#include "read_file.hpp"
#include "replay.hpp"

namespace sorvel::simulator {

namespace {

using nlohmann::json;

// Parse failures travel as this exception inside this file only; parse_scenario turns it into
// an error value.
struct ScenarioError {
  std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& problem) {
  throw ScenarioError{where.empty() ? problem : fmt::format("{}: {}", where, problem)};
}

void check_keys(const json& object, const std::string& where,
                std::initializer_list<std::string_view> known) {
  if (!object.is_object()) fail(where, "expected an object");
  for (const auto& [key, value] : object.items()) {
    bool found = false;
    for (std::string_view k : known) found = found || k == key;
    if (!found) fail(where, fmt::format("unknown key \"{}\"", key));
  }
}

std::uint64_t unsigned_value(const json& value, const std::string& where, std::uint64_t max) {
  if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
      value.get<std::uint64_t>() > max) {
    fail(where, fmt::format("expected an integer from 0 to {}", max));
  }
  return value.get<std::uint64_t>();
}

bool bool_value(const json& value, const std::string& where) {
  if (!value.is_boolean()) fail(where, "expected true or false");
  return value.get<bool>();
}

double number_value(const json& value, const std::string& where, double min, double max) {
  if (!value.is_number() || !(value.get<double>() >= min && value.get<double>() <= max)) {
    fail(where, fmt::format("expected a number from {} to {}", min, max));
  }
  return value.get<double>();
}

std::string string_value(const json& value, const std::string& where) {
  if (!value.is_string()) fail(where, "expected a string");
  return value.get<std::string>();
}

template <std::size_t N>
std::array<std::uint8_t, N> byte_array(const json& value, const std::string& where) {
  if (!value.is_array() || value.size() != N) fail(where, fmt::format("expected {} integers", N));
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) {
    out[i] =
        static_cast<std::uint8_t>(unsigned_value(value[i], fmt::format("{}[{}]", where, i), 255));
  }
  return out;
}

protocol::SemVer version_value(const json& value, const std::string& where) {
  const auto parts = byte_array<3>(value, where);
  return {parts[0], parts[1], parts[2]};
}

/// What each character is to a hex string: a digit's value, white space, or neither.
constexpr std::uint8_t kSpace = 16;
constexpr std::uint8_t kNotHex = 17;
constexpr auto kHexClass = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotHex);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[static_cast<unsigned char>(c)] = kSpace;
  return table;
}();

/// Decodes the hex digits of `value` (white space ignored) into `out`, which it clears first.
/// Scripted streams hold megabytes of these: one table look-up per character.
void read_hex(const json& value, const std::string& where, std::size_t max_length, Bytes& out) {
  if (!value.is_string()) fail(where, "expected a string");
  const auto& text = value.get_ref<const std::string&>();
  out.clear();
  int pending = -1;
  for (char c : text) {
    const std::uint8_t digit = kHexClass[static_cast<unsigned char>(c)];
    if (digit == kSpace) continue;
    if (digit == kNotHex) fail(where, fmt::format("'{}' is not a hex digit", c));
    if (pending < 0) {
      pending = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) fail(where, "odd number of hex digits");
  if (out.size() > max_length) {
    fail(where,
         fmt::format("{} bytes do not fit one transfer of at most {}", out.size(), max_length));
  }
}

Bytes hex_value(const json& value, const std::string& where, std::size_t max_length) {
  Bytes out;
  read_hex(value, where, max_length, out);
  return out;
}

BodyPart body_part_value(const json& value, const std::string& where) {
  const std::string text = string_value(value, where);
  if (auto part = body_part_from_name(text)) return *part;
  if (auto part = body_part_from_code(text)) return *part;
  fail(where, fmt::format("unknown body part \"{}\"", text));
}

Announce announce_value(const json& value, const std::string& where) {
  static const std::array<std::pair<std::string_view, Announce>, 5> kNames{{
      {"discovered", Announce::Discovered},
      {"incompatible", Announce::Incompatible},
      {"repeated", Announce::Repeated},
      {"silent", Announce::Silent},
      {"twice", Announce::Twice},
  }};
  const std::string text = string_value(value, where);
  for (const auto& [name, announce] : kNames) {
    if (name == text) return announce;
  }
  fail(where,
       fmt::format("unknown announce \"{}\" (discovered, incompatible, repeated, silent, twice)",
                   text));
}

TransferError status_value(const json& value, const std::string& where) {
  const std::string text = string_value(value, where);
  for (auto status : {TransferError::Cancelled, TransferError::Stall, TransferError::Disconnected,
                      TransferError::Fault, TransferError::Unknown}) {
    if (name(status) == text) return status;
  }
  fail(where, fmt::format("unknown status \"{}\"", text));
}

std::string command_name_value(const json& value, const std::string& where, bool allow_open) {
  const std::string text = string_value(value, where);
  if (allow_open && text == "open") return text;
  if (!is_command_name(text)) fail(where, fmt::format("unknown command \"{}\"", text));
  return text;
}

TrackerSpec tracker_value(const json& value, const std::string& where) {
  check_keys(value, where, {"address", "body_part", "version", "announce"});
  TrackerSpec spec;
  if (!value.contains("address")) fail(where, "a tracker needs an address");
  if (!value.contains("body_part")) fail(where, "a tracker needs a body_part");
  spec.address.bytes = byte_array<6>(value["address"], where + ".address");
  spec.body_part = body_part_value(value["body_part"], where + ".body_part");
  if (value.contains("version")) spec.version = version_value(value["version"], where + ".version");
  if (value.contains("announce")) {
    spec.announce = announce_value(value["announce"], where + ".announce");
  }
  return spec;
}

ScriptAction action_value(const json& value, const std::string& where) {
  check_keys(value, where,
             {"on", "delay_ms", "in_flight", "response", "report_transfers", "report_interval_us",
              "unplug", "fail", "lose_tracker", "restore_tracker"});
  ScriptAction action;
  if (!value.contains("on")) fail(where, "an action needs \"on\"");
  action.on = command_name_value(value["on"], where + ".on", true);
  if (value.contains("delay_ms")) {
    action.delay_ms =
        static_cast<std::uint32_t>(unsigned_value(value["delay_ms"], where + ".delay_ms", 600000));
  }
  if (value.contains("in_flight")) {
    action.in_flight = bool_value(value["in_flight"], where + ".in_flight");
    if (action.in_flight && action.on == "open") {
      fail(where + ".in_flight", "only a command's action can be in flight");
    }
    if (action.in_flight && action.delay_ms != 0) {
      fail(where + ".in_flight", "an action in flight fires at once, without delay_ms");
    }
  }
  if (value.contains("response")) {
    action.response = hex_value(value["response"], where + ".response", 64);
  }
  if (value.contains("report_transfers")) {
    const json& list = value["report_transfers"];
    if (!list.is_array()) fail(where + ".report_transfers", "expected a list of hex strings");
    // Scripted streams run to tens of thousands of transfers: one scratch buffer, no
    // per-transfer allocation, and the place is only formatted for an error.
    std::size_t digits = 0;
    for (const json& item : list)
      digits += item.is_string() ? item.get_ref<const std::string&>().size() : 0;
    action.report_transfers.reserve(list.size(), digits / 2);
    Bytes transfer;
    for (std::size_t i = 0; i < list.size(); ++i) {
      try {
        read_hex(list[i], {}, 64, transfer);
      } catch (const ScenarioError& error) {
        fail(fmt::format("{}.report_transfers[{}]", where, i), error.message);
      }
      action.report_transfers.push_back(transfer);
    }
  }
  if (value.contains("report_interval_us")) {
    action.report_interval_us = static_cast<std::uint32_t>(
        unsigned_value(value["report_interval_us"], where + ".report_interval_us", 60'000'000));
  }
  if (value.contains("unplug")) action.unplug = bool_value(value["unplug"], where + ".unplug");
  if (value.contains("fail")) {
    const json& f = value["fail"];
    check_keys(f, where + ".fail", {"endpoint", "status"});
    if (!f.contains("endpoint") || !f.contains("status")) {
      fail(where + ".fail", "needs endpoint and status");
    }
    ScriptedFailure failure;
    failure.endpoint =
        static_cast<std::uint8_t>(unsigned_value(f["endpoint"], where + ".fail.endpoint", 255));
    if (failure.endpoint != 0x01 && failure.endpoint != 0x81 && failure.endpoint != 0x82) {
      fail(where + ".fail.endpoint", "the receiver has endpoints 1, 129 and 130");
    }
    failure.status = status_value(f["status"], where + ".fail.status");
    action.fail = failure;
  }
  if (value.contains("lose_tracker")) {
    action.lose_tracker = body_part_value(value["lose_tracker"], where + ".lose_tracker");
  }
  if (value.contains("restore_tracker")) {
    action.restore_tracker = body_part_value(value["restore_tracker"], where + ".restore_tracker");
  }
  return action;
}

using LengthField = double pose::Proportions::*;
constexpr std::array<std::pair<std::string_view, LengthField>, 12> kLengthNames{{
    {"pelvis", &pose::Proportions::pelvis},
    {"spine", &pose::Proportions::spine},
    {"head", &pose::Proportions::head},
    {"shoulder_width", &pose::Proportions::shoulder_width},
    {"upper_arm", &pose::Proportions::upper_arm},
    {"lower_arm", &pose::Proportions::lower_arm},
    {"hand", &pose::Proportions::hand},
    {"hip_width", &pose::Proportions::hip_width},
    {"upper_leg", &pose::Proportions::upper_leg},
    {"lower_leg", &pose::Proportions::lower_leg},
    {"ankle_height", &pose::Proportions::ankle_height},
    {"foot", &pose::Proportions::foot},
}};

void lengths_value(const json& lengths, const std::string& where, pose::Proportions& out) {
  if (!lengths.is_object()) fail(where, "expected an object");
  for (const auto& [key, value] : lengths.items()) {
    const auto named = std::find_if(kLengthNames.begin(), kLengthNames.end(),
                                    [&](const auto& entry) { return entry.first == key; });
    if (named == kLengthNames.end()) fail(where, fmt::format("unknown length \"{}\"", key));
    out.*(named->second) = number_value(value, where + "." + key, 0.0, 3.0);
  }
}

pose::Quaternion mounting_value(const json& value, const std::string& where) {
  std::array<double, 4> wxyz{};
  bool turns = value.is_array() && value.size() == 4;
  for (std::size_t i = 0; turns && i < 4; ++i) {
    turns = value[i].is_number() && std::isfinite(value[i].get<double>());
    if (turns) wxyz[i] = value[i].get<double>();
  }
  const pose::Quaternion q{wxyz[0], wxyz[1], wxyz[2], wxyz[3]};
  if (!turns || !(q.norm() > 1e-6)) fail(where, "expected [w, x, y, z], not all zero");
  return q.normalized();
}

BodyStep step_value(const json& value, const std::string& where) {
  check_keys(value, where, {"pose", "motion", "seconds"});
  BodyStep step;
  if (value.contains("pose") == value.contains("motion")) {
    fail(where, "a step needs either \"pose\" or \"motion\"");
  }
  if (!value.contains("seconds")) fail(where, "a step needs \"seconds\"");
  step.seconds = number_value(value["seconds"], where + ".seconds", 0.1, 86400.0);
  if (value.contains("pose")) {
    const std::string pose = string_value(value["pose"], where + ".pose");
    step.pose = held_pose_from_name(pose);
    if (!step.pose) fail(where + ".pose", fmt::format("unknown pose \"{}\" (T, I, ski)", pose));
  } else {
    static const std::array<std::pair<std::string_view, BodyMotion>, 4> kMotions{{
        {"sway", BodyMotion::Sway},
        {"walk", BodyMotion::Walk},
        {"arm_raises", BodyMotion::ArmRaises},
        {"turn", BodyMotion::Turn},
    }};
    const std::string motion = string_value(value["motion"], where + ".motion");
    for (const auto& [name, known] : kMotions) {
      if (name == motion) step.motion = known;
    }
    if (!step.motion) {
      fail(where + ".motion",
           fmt::format("unknown motion \"{}\" (sway, walk, arm_raises, turn)", motion));
    }
  }
  return step;
}

BodyScenario body_value(const json& value) {
  check_keys(value, "body",
             {"height", "lengths", "seed", "mounting", "heading", "heading_deg", "facing_deg",
              "drift_deg_per_min", "noise_deg", "script", "loop", "truth"});
  BodyScenario body;
  if (value.contains("height")) {
    body.proportions =
        pose::Proportions::from_height(number_value(value["height"], "body.height", 0.5, 3.0));
  }
  if (value.contains("lengths")) lengths_value(value["lengths"], "body.lengths", body.proportions);
  if (value.contains("seed")) {
    body.seed =
        unsigned_value(value["seed"], "body.seed", std::numeric_limits<std::uint64_t>::max());
  }
  if (value.contains("mounting")) {
    const json& mounting = value["mounting"];
    if (mounting.is_object()) {
      body.mounting = MountingKind::Given;
      body.mountings.fill(pose::Quaternion::identity());
      for (const auto& [key, turn] : mounting.items()) {
        const BodyPart part = body_part_value(key, "body.mounting");
        body.mountings[pose::index_of(part)] = mounting_value(turn, "body.mounting." + key);
      }
    } else {
      const std::string kind = mounting.is_string() ? mounting.get<std::string>() : "";
      if (kind == "random") {
        body.mounting = MountingKind::Random;
      } else if (kind == "square") {
        body.mounting = MountingKind::Square;
      } else {
        fail("body.mounting",
             "expected \"random\", \"square\" or an object of body part -> [w, x, y, z]");
      }
    }
  }
  if (value.contains("heading")) {
    const std::string heading = string_value(value["heading"], "body.heading");
    if (heading != "random" && heading != "shared") {
      fail("body.heading", fmt::format("unknown heading \"{}\" (random, shared)", heading));
    }
    body.shared_heading = heading == "shared";
  }
  if (value.contains("heading_deg")) {
    if (!body.shared_heading) fail("body.heading_deg", "only a shared heading takes a value");
    body.heading_deg = number_value(value["heading_deg"], "body.heading_deg", -360.0, 360.0);
  }
  if (value.contains("facing_deg")) {
    body.facing_deg = number_value(value["facing_deg"], "body.facing_deg", -360.0, 360.0);
  }
  if (value.contains("drift_deg_per_min")) {
    body.drift_deg_per_min =
        number_value(value["drift_deg_per_min"], "body.drift_deg_per_min", 0.0, 360.0);
  }
  if (value.contains("noise_deg")) {
    body.noise_deg = number_value(value["noise_deg"], "body.noise_deg", 0.0, 10.0);
  }
  if (value.contains("script")) {
    const json& script = value["script"];
    if (!script.is_array() || script.empty()) fail("body.script", "expected a list of steps");
    body.script.clear();
    for (std::size_t i = 0; i < script.size(); ++i) {
      body.script.push_back(step_value(script[i], fmt::format("body.script[{}]", i)));
    }
  }
  if (value.contains("loop")) body.loop = bool_value(value["loop"], "body.loop");
  if (value.contains("truth")) {
    body.truth_path = string_value(value["truth"], "body.truth");
    if (auto writable = body::check_writable(body.truth_path); !writable) {
      fail("body.truth", fmt::format("cannot write \"{}\": {}", body.truth_path, writable.error()));
    }
  }
  return body;
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// A kit that replays the capture `file` read from `path`; the error names the path.
Expected<Scenario, std::string> replay_scenario(const std::string& path,
                                                std::span<const std::uint8_t> file, double speed) {
  auto replay = read_capture(file, speed);
  if (!replay) {
    return unexpected(fmt::format("cannot replay capture \"{}\": {}", path, replay.error()));
  }
  Scenario scenario;
  scenario.replay = std::make_shared<const Replay>(std::move(*replay));
  return scenario;
}

Scenario replay_value(const json& doc) {
  check_keys(doc, "", {"replay", "speed"});
  double speed = 1.0;
  if (doc.contains("speed")) {
    const json& value = doc["speed"];
    speed = value.is_number() ? value.get<double>() : -1.0;
    if (!std::isfinite(speed) || (speed != 0 && speed < kSlowestReplaySpeed)) {
      fail("speed",
           fmt::format("expected 0 (as fast as the host reads) or a number from {} upwards",
                       kSlowestReplaySpeed));
    }
  }
  const std::string path = string_value(doc["replay"], "replay");
  auto content = read_regular_file(path, kMaxCaptureFileBytes);
  if (!content)
    fail("replay", fmt::format("cannot read capture \"{}\": {}", path, content.error()));
  auto scenario = replay_scenario(path, bytes_of(*content), speed);
  if (!scenario) fail("replay", scenario.error());
  return std::move(*scenario);
}

Scenario scenario_value(const json& doc) {
  if (doc.is_object() && doc.contains("replay")) return replay_value(doc);
  check_keys(
      doc, "",
      {"present", "receiver", "silent", "trackers", "ready_to_report", "stream", "script", "body"});
  Scenario scenario;
  if (doc.contains("present")) scenario.present = bool_value(doc["present"], "present");
  if (doc.contains("receiver")) {
    const json& receiver = doc["receiver"];
    check_keys(receiver, "receiver", {"address", "version"});
    if (receiver.contains("address")) {
      scenario.receiver_address.bytes = byte_array<6>(receiver["address"], "receiver.address");
    }
    if (receiver.contains("version")) {
      scenario.receiver_version = version_value(receiver["version"], "receiver.version");
    }
  }
  if (doc.contains("silent")) {
    const json& silent = doc["silent"];
    if (!silent.is_array()) fail("silent", "expected a list of command names");
    for (std::size_t i = 0; i < silent.size(); ++i) {
      scenario.silent.insert(command_name_value(silent[i], fmt::format("silent[{}]", i), false));
    }
  }
  if (doc.contains("trackers")) {
    const json& trackers = doc["trackers"];
    if (!trackers.is_array()) fail("trackers", "expected a list of trackers");
    scenario.trackers.clear();
    // Pairing tells trackers apart by address: two at one address would never both pair, and
    // connect would wait out its whole time-out.
    std::map<TrackerAddress, std::size_t> first_at;
    for (std::size_t i = 0; i < trackers.size(); ++i) {
      const std::string where = fmt::format("trackers[{}]", i);
      scenario.trackers.push_back(tracker_value(trackers[i], where));
      const TrackerAddress& address = scenario.trackers.back().address;
      if (auto [at, fresh] = first_at.emplace(address, i); !fresh) {
        fail(where + ".address",
             fmt::format("{} is already the address of trackers[{}]", address, at->second));
      }
    }
  }
  if (doc.contains("ready_to_report")) {
    scenario.ready_to_report = bool_value(doc["ready_to_report"], "ready_to_report");
  }
  if (doc.contains("stream")) {
    const json& stream = doc["stream"];
    check_keys(stream, "stream", {"rate_hz", "motion", "stamp_completion"});
    if (stream.contains("rate_hz")) {
      scenario.rate_hz =
          static_cast<std::uint32_t>(unsigned_value(stream["rate_hz"], "stream.rate_hz", 2000));
    }
    if (stream.contains("motion")) {
      const std::string motion = string_value(stream["motion"], "stream.motion");
      if (motion == "still") {
        scenario.motion = Motion::Still;
      } else if (motion == "sway") {
        scenario.motion = Motion::Sway;
      } else {
        fail("stream.motion", fmt::format("unknown motion \"{}\" (still, sway)", motion));
      }
    }
    if (stream.contains("stamp_completion")) {
      scenario.stamp_completion = bool_value(stream["stamp_completion"], "stream.stamp_completion");
    }
  }
  if (doc.contains("script")) {
    const json& script = doc["script"];
    if (!script.is_array()) fail("script", "expected a list of actions");
    for (std::size_t i = 0; i < script.size(); ++i) {
      scenario.script.push_back(action_value(script[i], fmt::format("script[{}]", i)));
    }
  }
  if (doc.contains("body")) scenario.body = body_value(doc["body"]);
  return scenario;
}

}  // namespace

TransferList::TransferList(const std::vector<Bytes>& transfers) {
  std::size_t bytes = 0;
  for (const Bytes& transfer : transfers) bytes += transfer.size();
  reserve(transfers.size(), bytes);
  for (const Bytes& transfer : transfers) push_back(transfer);
}

void TransferList::push_back(std::span<const std::uint8_t> transfer) {
  bytes_.insert(bytes_.end(), transfer.begin(), transfer.end());
  ends_.push_back(bytes_.size());
}

void TransferList::reserve(std::size_t transfers, std::size_t bytes) {
  ends_.reserve(ends_.size() + transfers);
  bytes_.reserve(bytes_.size() + bytes);
}

std::vector<TrackerSpec> Scenario::default_trackers() {
  std::vector<TrackerSpec> trackers;
  for (std::uint8_t v = 0; v < kBodyPartCount; ++v) {
    trackers.push_back({TrackerAddress{{16, 0, 0, 0, 0, static_cast<std::uint8_t>(v + 1)}},
                        static_cast<BodyPart>(v), protocol::SemVer{1, 0, 0}, Announce::Discovered});
  }
  return trackers;
}

Expected<Scenario, std::string> parse_scenario(std::string_view text) {
  const json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return unexpected(std::string("not valid JSON"));
  try {
    return scenario_value(doc);
  } catch (const ScenarioError& error) {
    return unexpected(error.message);
  }
}

Expected<Scenario, std::string> scenario_from_variable(std::string_view value) {
  auto named = [](const std::string& problem) {
    return unexpected(fmt::format("{}: {}", kVirtualKitVariable, problem));
  };
  if (value == "1") return Scenario{};
  std::string text;
  const auto first = value.find_first_not_of(" \t\n\r");
  if (first != std::string_view::npos && value[first] == '{') {
    text = value;
  } else {
    const std::string path(value);
    // Read as far as a capture may go: only its first bytes tell a capture from a scenario.
    auto content = read_regular_file(path, kMaxCaptureFileBytes);
    if (content && looks_like_capture(bytes_of(*content))) {
      auto scenario = replay_scenario(path, bytes_of(*content), 1.0);
      if (!scenario) return named(scenario.error());
      return scenario;
    }
    std::string problem = content ? "" : content.error();
    if (content && content->size() > kMaxScenarioFileBytes) {
      problem = fmt::format("larger than {} bytes", kMaxScenarioFileBytes);
    }
    if (!problem.empty()) {
      return named(fmt::format("cannot read scenario file \"{}\": {}", value, problem));
    }
    text = std::move(*content);
  }
  auto scenario = parse_scenario(text);
  if (!scenario) return named(fmt::format("invalid scenario: {}", scenario.error()));
  return scenario;
}

}  // namespace sorvel::simulator
