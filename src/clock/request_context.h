// The working values of one client request.
#pragma once

#include <cstdint>
#include <string>

#include "clock/BaseGlobConstants.h"

namespace tallyhand {

class TMainDM;

struct RequestContext {
  TMainDM* dm = nullptr;     // the shared data module, not owned
  std::string requestText;   // exactly as received
  std::string rid;
  std::int32_t userId = -1;
  std::int32_t companyId = -1;
  Build build = Build::Az;
};

}  // namespace tallyhand
