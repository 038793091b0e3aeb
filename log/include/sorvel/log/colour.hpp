#pragma once
// Whether log lines on a terminal get colour, from the variables users set for every program:
// CLICOLOR_FORCE, NO_COLOR and CLICOLOR.

#include <functional>
#include <optional>
#include <string>

namespace sorvel::log {

/// The value of an environment variable, nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

/// CLICOLOR_FORCE set and not "0" gives colour; else NO_COLOR set gives none; else colour when
/// CLICOLOR is unset or not "0" and standard output is a terminal. A variable that is present
/// counts as set, even when empty.
bool colour_wanted(const EnvironmentLookup& variable, bool stdout_is_terminal);

}  // namespace sorvel::log
