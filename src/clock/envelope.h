// The response envelope every client answer travels in, and the check that turns a
// procedure's in-band failure status into an exception.
#pragma once

#include <string>
#include <string_view>

#include "data/result_set.h"
#include "platform/exception.h"

namespace tallyhand {

// The request processing's own failure; it carries only its message.
TALLYHAND_EXCEPTION(ENVMobileException, Exception);

// Builds the one-line envelope. raw: the response is JSON inserted unchanged; otherwise
// it goes between double quotes. Nothing is escaped. A blank key gives no "key" member,
// and error answers never have one. Logs the envelope (and, for errors, the message).
std::string FormatResponse(bool isError, std::string_view response, std::string_view rid,
                           std::string_view key, bool raw);

// Raises ENVMobileException with ResultMessage when the current row's ResultStatus, or
// failing that ResultCode, is negative. A NULL ResultStatus passes outright.
void CheckResultStatus(const TResultSet& set);

}  // namespace tallyhand
