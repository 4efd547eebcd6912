// What the kernel says about a process the tests started: the CPU time it used and the
// memory it holds; and the test's own descriptor limit, for tests that open thousands of
// connections.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tallyhand::testsupport {

// User plus system CPU seconds the process has used; negative when it cannot be read.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  // The command name in parentheses may hold blanks; the fields after it are plain.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The resident set of the process in bytes (VmRSS); 0 when it cannot be read.
inline long long ResidentBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

// Raises this process's soft descriptor limit to its hard limit; the limit now in force.
inline rlim_t RaiseOwnDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace tallyhand::testsupport
