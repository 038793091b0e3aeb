#pragma once
// Command variant names, as scenarios name commands ("GetInfo", "Go", ...).

#include <string_view>

#include "sorvel/protocol/messages.hpp"

namespace sorvel::simulator {

inline std::string_view command_name(const protocol::Command& command) {
  return std::visit([](const auto& alt) { return std::decay_t<decltype(alt)>::kName; },
                    command.as_variant());
}

inline bool is_command_name(std::string_view text) {
  using Variant = protocol::Command::Variant;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ((std::variant_alternative_t<I, Variant>::kName == text) || ...);
  }
  (std::make_index_sequence<std::variant_size_v<Variant>>{});
}

}  // namespace sorvel::simulator
