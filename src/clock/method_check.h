// The method text's special procedures: answer writes pass through, a daily report write
// for a day that has its report is answered at once, and a time-card write has its daily
// report id checked (the report created when missing) before it runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "clock/request_context.h"

namespace tallyhand {

// Splits at separators outside quotes. A doubled quote inside quotes stands for one
// quote character; quote characters are otherwise dropped. n separators outside quotes
// give n + 1 items; an empty text gives none.
std::vector<std::string> SplitQuoted(std::string_view text, char separator, char quote);

struct SpecialMethodResult {
  bool handled;      // true: text is the complete response
  std::string text;  // otherwise the method text to run (possibly with a corrected id)
};

// Never raises: any failure while examining the method leaves it unhandled and unchanged.
SpecialMethodResult CheckSpecialMethod(std::string_view method, const RequestContext& ctx);

}  // namespace tallyhand
