// tallyhand-server started under a limit on open files of the test's choosing (through
// util-linux's prlimit, which sets it and then runs the server in its own place).
#pragma once

#include <string>
#include <vector>

#include "e2e/e2e_site.h"

namespace tallyhand::resilience {

// nofile: "SOFT:HARD", or one number for both.
inline testsupport::ServerLaunch LaunchWithDescriptorLimit(
    const e2e::E2eSite& site, const std::string& nofile,
    const std::vector<std::string>& extraArgs) {
  testsupport::ServerLaunch launch;
  launch.executable = "/usr/bin/prlimit";
  launch.args = {"--nofile=" + nofile,
                 "--",
                 testsupport::ServerExecutablePath(),
                 "--module",
                 site.Folder() + site.ModuleFileName(),
                 "--port",
                 "0",
                 "--listen",
                 "127.0.0.1"};
  launch.args.insert(launch.args.end(), extraArgs.begin(), extraArgs.end());
  return launch;
}

}  // namespace tallyhand::resilience
