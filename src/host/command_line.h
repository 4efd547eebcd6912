// The host's command line: options to Settings, and the usage text.
#pragma once

#include <string>
#include <vector>

#include "host/settings.h"

namespace tallyhand::host {

struct CommandLine {
  enum class Outcome { Run, ShowHelp, Invalid };
  Outcome outcome = Outcome::Invalid;
  Settings settings;
  // Why the command line was refused (Outcome::Invalid).
  std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace tallyhand::host
