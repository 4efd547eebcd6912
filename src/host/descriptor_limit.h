// The process's limit on open descriptors. Every connection holds one, and the usual
// default soft limit (1024) is far below what a busy server holds, while the hard limit
// that the administrator grants is usually much higher.
#pragma once

#include <sys/resource.h>

#include <string>

namespace tallyhand::host {

// Raises the soft RLIMIT_NOFILE to the hard limit (to the kernel's nr_open where the hard
// limit is unlimited). On success soft holds the limit now in force; on failure error
// names the call and the cause, and the limit is unchanged.
bool RaiseDescriptorLimit(rlim_t& soft, std::string& error);

}  // namespace tallyhand::host
