// One mobile client request: the JSON envelope is read, the caller established from a
// live session key or by company, user name and password, and the method answered.
#pragma once

#include <string>
#include <string_view>

#include "clock/BaseGlobConstants.h"

namespace tallyhand {

class TMainDM;

// Sets response on every path that returns normally. A failed status or a missing column
// in the company list or login result leaves as an exception, response untouched.
void processRequest(TMainDM& dm, std::string_view requestText, std::string& response,
                    Build build);

}  // namespace tallyhand
