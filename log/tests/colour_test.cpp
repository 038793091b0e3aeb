#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sorvel/log/colour.hpp"

namespace sorvel::log {
namespace {

TEST(Colour, ForceThenNoColorThenClicolorAndTheTerminal) {
  using Environment = std::map<std::string, std::string>;
  const struct {
    Environment environment;
    bool terminal;
    bool colour;
  } cases[] = {
      {{}, true, true},
      {{}, false, false},
      {{{"CLICOLOR_FORCE", "1"}}, false, true},
      {{{"CLICOLOR_FORCE", ""}, {"NO_COLOR", "1"}}, false, true},  // present, so set
      {{{"CLICOLOR_FORCE", "0"}}, true, true},                     // "0" does not force, nor forbid
      {{{"CLICOLOR_FORCE", "0"}}, false, false},
      {{{"CLICOLOR_FORCE", "1"}, {"NO_COLOR", "1"}}, true, true},
      {{{"NO_COLOR", ""}}, true, false},
      {{{"NO_COLOR", "0"}, {"CLICOLOR", "1"}}, true, false},
      {{{"CLICOLOR", "0"}}, true, false},
      {{{"CLICOLOR", ""}}, true, true},
      {{{"CLICOLOR", "1"}}, false, false},
  };
  for (const auto& c : cases) {
    const EnvironmentLookup lookup = [&c](const char* name) -> std::optional<std::string> {
      const auto found = c.environment.find(name);
      if (found == c.environment.end()) return std::nullopt;
      return found->second;
    };
    std::string trace = c.terminal ? "terminal" : "no terminal";
    for (const auto& [name, value] : c.environment) trace += " " + name + "=" + value;
    EXPECT_EQ(colour_wanted(lookup, c.terminal), c.colour) << trace;
  }
}

}  // namespace
}  // namespace sorvel::log
