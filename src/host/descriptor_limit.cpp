#include "host/descriptor_limit.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tallyhand::host {
namespace {

// The most descriptors one process may have: no limit may be set above it.
rlim_t KernelDescriptorCeiling() {
  std::ifstream in("/proc/sys/fs/nr_open");
  unsigned long long ceiling = 0;
  if (in >> ceiling && ceiling > 0) return static_cast<rlim_t>(ceiling);
  return 1024 * 1024;  // the kernel's default nr_open
}

}  // namespace

bool RaiseDescriptorLimit(rlim_t& soft, std::string& error) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    error = std::string("getrlimit(RLIMIT_NOFILE) failed: ") + std::strerror(errno);
    return false;
  }
  const rlim_t wanted =
      limit.rlim_max == RLIM_INFINITY ? KernelDescriptorCeiling() : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      error = "setrlimit(RLIMIT_NOFILE, " + std::to_string(wanted) +
              ") failed: " + std::strerror(errno);
      return false;
    }
    limit = raised;
  }
  soft = limit.rlim_cur;
  return true;
}

}  // namespace tallyhand::host
