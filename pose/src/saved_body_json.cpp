#include <cmath>
#include <cstddef>
#include <exception>
#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "sorvel/pose/lengths.hpp"
#include "sorvel/pose/saved_body.hpp"

namespace sorvel::pose {
namespace {

using nlohmann::json;

constexpr std::string_view kFormat = "sorvel-body";
constexpr int kVersion = 1;
// Far more than a saved body holds; bounds what a hostile file can make the parser do.
constexpr std::size_t kLargestText = 1 << 20;
constexpr int kDeepestNesting = 8;

json quaternion_json(const Quaternion& q) {
  return json::array({q.w, q.x, q.y, q.z});
}

std::string_view pose_name(StandingPose pose) {
  return pose == StandingPose::I ? "I" : "T";
}
std::string_view up_name(WorldUp up) {
  return up == WorldUp::Z ? "Z" : "Y";
}

// Brackets nested deeper than any saved body's, outside strings: refused before parsing.
bool nested_too_deep(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kDeepestNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

Error at(std::string_view where, std::string_view what) {
  return Error{fmt::format("the saved body's {} {}", where, what)};
}

std::optional<Error> read_quaternion(const json& object, std::string_view key,
                                     std::string_view where, Quaternion& out) {
  const auto it = object.find(key);
  const std::string path = fmt::format("{}.{}", where, key);
  if (it == object.end()) return at(path, "is missing");
  if (!it->is_array() || it->size() != 4)
    return at(path, "must be a list of four numbers (w, x, y, z)");
  double values[4];
  for (std::size_t i = 0; i < 4; ++i) {
    if (!(*it)[i].is_number()) return at(path, "must be a list of four numbers (w, x, y, z)");
    values[i] = (*it)[i].get<double>();
    if (!std::isfinite(values[i])) return at(path, "must hold finite numbers");
  }
  out = {values[0], values[1], values[2], values[3]};
  if (std::fabs(out.norm() - 1.0) > 1e-6) return at(path, "must be a unit quaternion");
  return std::nullopt;
}

std::optional<Error> read_lengths(const json& root, Proportions& out) {
  const auto it = root.find("lengths");
  if (it == root.end() || !it->is_object()) return at("lengths", "must be an object");
  for (const auto& [name, value] : it->items()) {
    double* field = length_named(out, name);
    if (field == nullptr) return at(fmt::format("lengths.{}", name), "is not a known length");
    if (!value.is_number()) return at(fmt::format("lengths.{}", name), "must be a number");
    *field = value.get<double>();
  }
  for (const auto name : kLengthNames) {
    if (!it->contains(name)) return at(fmt::format("lengths.{}", name), "is missing");
  }
  if (auto invalid = invalid_lengths(out))
    return at("lengths", fmt::format("are wrong: {}", invalid->message));
  return std::nullopt;
}

std::optional<Error> read_calibration(const json& root, Calibration& out) {
  const auto it = root.find("calibration");
  if (it == root.end() || !it->is_object()) return at("calibration", "must be an object");
  const json& c = *it;

  const auto pose = c.find("pose");
  if (pose == c.end() || !pose->is_string() || (*pose != "I" && *pose != "T")) {
    return at("calibration.pose", "must be \"I\" or \"T\"");
  }
  out.pose = *pose == "I" ? StandingPose::I : StandingPose::T;
  const auto up = c.find("up");
  if (up == c.end() || !up->is_string() || (*up != "Z" && *up != "Y")) {
    return at("calibration.up", "must be \"Z\" or \"Y\"");
  }
  out.up = *up == "Z" ? WorldUp::Z : WorldUp::Y;
  const auto refined = c.find("mounting_refined");
  if (refined == c.end() || !refined->is_boolean()) {
    return at("calibration.mounting_refined", "must be true or false");
  }
  out.mounting_refined = refined->get<bool>();

  const auto trackers = c.find("trackers");
  if (trackers == c.end() || !trackers->is_object()) {
    return at("calibration.trackers", "must be an object");
  }
  for (const auto& [name, tracker] : trackers->items()) {
    const std::string where = fmt::format("calibration.trackers.{}", name);
    const auto part = body_part_from_name(name);
    if (!part) return at(where, "is not a body part");
    if (!tracker.is_object()) return at(where, "must be an object");
    TrackerCalibration& target = out.at(*part);
    target.calibrated = true;
    for (const auto& [key, q] :
         {std::pair{"correction", &target.correction}, std::pair{"mounting", &target.mounting},
          std::pair{"first_hold", &target.first_hold}}) {
      if (auto error = read_quaternion(tracker, key, where, *q)) return error;
    }
  }
  return std::nullopt;
}

Result<SavedBody> read(std::string_view text) {
  if (text.size() > kLargestText) return Error{"the saved body is too large to be one"};
  if (nested_too_deep(text)) return Error{"the saved body is nested too deeply to be one"};
  const json root = json::parse(text.begin(), text.end(), nullptr, false);
  if (root.is_discarded()) return Error{"the saved body is not JSON"};
  if (!root.is_object()) return Error{"the saved body must be a JSON object"};
  const auto format = root.find("format");
  const auto version = root.find("version");
  if (format == root.end() || *format != kFormat || version == root.end() ||
      !version->is_number_integer()) {
    return Error{
        fmt::format("the text is not a saved body (no \"format\": \"{}\" and version)", kFormat)};
  }
  if (*version != kVersion) {
    return Error{fmt::format("the saved body's version {} is not {}", version->dump(), kVersion)};
  }
  SavedBody body;
  if (auto error = read_lengths(root, body.proportions)) return *error;
  if (auto error = read_calibration(root, body.calibration)) return *error;
  return body;
}

}  // namespace

std::string to_json(const SavedBody& body) {
  json lengths = json::object();
  for (const auto name : kLengthNames) {
    lengths[std::string(name)] = *length_named(body.proportions, name);
  }
  json trackers = json::object();
  for (std::size_t i = 0; i < kBodyPartCount; ++i) {
    const TrackerCalibration& tracker = body.calibration.trackers[i];
    if (!tracker.calibrated) continue;
    trackers[std::string(name(static_cast<BodyPart>(i)))] = {
        {"correction", quaternion_json(tracker.correction)},
        {"mounting", quaternion_json(tracker.mounting)},
        {"first_hold", quaternion_json(tracker.first_hold)},
    };
  }
  const json root = {
      {"format", kFormat},
      {"version", kVersion},
      {"lengths", lengths},
      {"calibration",
       {{"pose", pose_name(body.calibration.pose)},
        {"up", up_name(body.calibration.up)},
        {"mounting_refined", body.calibration.mounting_refined},
        {"trackers", trackers}}},
  };
  return root.dump(2);
}

Result<SavedBody> saved_body_from_json(std::string_view text) {
  // Nothing above should throw; a failure of the library's own (memory, a type it refuses) must
  // still stay inside.
  try {
    return read(text);
  } catch (const std::exception& e) {
    return Error{fmt::format("the saved body could not be read: {}", e.what())};
  }
}

}  // namespace sorvel::pose
