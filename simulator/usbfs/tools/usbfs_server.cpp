// An emulated USB bus for programs in other processes (the Python suite): it makes the testbed,
// prints {"root": DIR} (what UMOCKDEV_DIR must name in the client, which runs under
// umockdev-wrapper), then answers one JSON request per line on standard input until it ends:
//
//   {"op": "plug", "scenario": {...}}   -> {"id": N, "devnode": "/dev/bus/usb/001/NNN"}
//   {"op": "unplug", "id": N}           -> {"ok": true}
//   {"op": "deny_access", "id": N}      -> {"ok": true}
//   {"op": "state", "id": N}            -> {"claimed": [...], "pending_transfers": N, ...}
//
// A request that cannot be served is answered {"error": TEXT}.
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sorvel/usbfs/usbfs_bus.hpp"

namespace {

using nlohmann::json;
using sorvel::usbfs::PluggedReceiver;

json state_of(const PluggedReceiver& receiver) {
  const auto state = receiver.state();
  json commands = json::array();
  for (const auto& command : state.commands) {
    std::string hex;
    for (auto byte : command)
      hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    commands.push_back(hex);
  }
  return {{"present", state.present},
          {"claimed", state.claimed_interfaces},
          {"pending_transfers", state.pending_transfers},
          {"streaming", state.streaming},
          {"history", state.history},
          {"commands", commands},
          {"report_transfers_delivered", state.report_transfers_delivered}};
}

json serve(const json& request, sorvel::usbfs::Bus& bus,
           std::map<int, std::shared_ptr<PluggedReceiver>>& receivers) {
  const std::string op = request.value("op", "");
  if (op == "plug") {
    auto scenario =
        sorvel::simulator::parse_scenario(request.value("scenario", json::object()).dump());
    if (!scenario) return {{"error", scenario.error()}};
    const int id = static_cast<int>(receivers.size()) + 1;
    auto receiver = bus.plug(std::move(*scenario));
    const std::string devnode = receiver->devnode();
    receivers[id] = std::move(receiver);
    return {{"id", id}, {"devnode", devnode}};
  }
  const auto found = receivers.find(request.value("id", 0));
  if (found == receivers.end()) return {{"error", "no such receiver"}};
  PluggedReceiver& receiver = *found->second;
  if (op == "unplug") {
    receiver.unplug();
  } else if (op == "deny_access") {
    receiver.deny_access();
  } else if (op == "state") {
    return state_of(receiver);
  } else {
    return {{"error", "unknown op: " + op}};
  }
  return {{"ok", true}};
}

}  // namespace

int main(int /*argc*/, char** argv) {
  sorvel::usbfs::Bus::ensure_mock_environment(argv);
  auto bus = sorvel::usbfs::Bus::instance();
  if (!bus) {
    std::cout << json{{"error", bus.error()}}.dump() << std::endl;
    return 1;
  }
  std::map<int, std::shared_ptr<PluggedReceiver>> receivers;
  std::cout << json{{"root", (*bus)->root_dir()}}.dump() << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    json reply;
    try {
      reply = serve(json::parse(line), **bus, receivers);
    } catch (const json::exception& error) {
      reply = {{"error", error.what()}};
    }
    std::cout << reply.dump() << std::endl;
  }
  return 0;
}
