#include "sorvel/log/colour.hpp"

namespace sorvel::log {

bool colour_wanted(const EnvironmentLookup& variable, bool stdout_is_terminal) {
  if (const auto force = variable("CLICOLOR_FORCE"); force && *force != "0") return true;
  if (variable("NO_COLOR")) return false;
  const auto clicolor = variable("CLICOLOR");
  return (!clicolor || *clicolor != "0") && stdout_is_terminal;
}

}  // namespace sorvel::log
