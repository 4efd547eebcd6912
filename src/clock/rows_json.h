// Running a client's method text as a statement, and writing result rows as JSON: an
// array of objects whose values are all JSON strings.
#pragma once

#include <string>
#include <string_view>

#include "clock/request_context.h"
#include "data/result_set.h"

namespace tallyhand {

// Every row from the first, each column as "name":"value text" in column order. Names are
// not escaped; in values a backslash is doubled and a double quote gets a backslash.
// Raises EVariantTypeCastError for a NULL date, time, date-time or time stamp.
std::string ResultSetToJSON(TResultSet& set);

// Runs the method text with no values on ctx.dm, checks the result's status columns and
// returns its rows as JSON. A failing run logs "ReqResponse:" + message and is raised on.
std::string ExecuteMethodToJSON(std::string_view method, const RequestContext& ctx);

// Makes a text that embeds a request safe between the quotes of an answer: double quotes
// become apostrophes, backslashes are doubled, line feeds and carriage returns go.
std::string CleanErrorText(std::string_view text);

// "Error on executing procedure: " + message + " : Initial request" + requestText, cleaned.
std::string ProcedureErrorText(std::string_view message, std::string_view requestText);

}  // namespace tallyhand
