// Finding and creating the daily report of a user for a job and a work day, through the
// list and write procedures of the accounting database.
#pragma once

#include <string>
#include <string_view>

#include "clock/request_context.h"
#include "platform/datetime.h"

namespace tallyhand {

// The job some clients send when they have none: the word undefined in double quotes.
inline constexpr std::string_view kUndefinedJob = "\"undefined\"";

// True for that job, blanks and control characters at both ends ignored.
bool IsUndefinedJob(std::string_view job);

// Walks every report of the user; a report matches when its job (NULL never matches)
// equals job, both trimmed, and its work date falls on the same day as workDate, both
// rounded to whole days. The last match gives pmid. The undefined job is never found.
// Raises the database error, ENVMobileException for a failed status, and the
// conversion error for a matching report without a work date.
bool FindDailyReport(std::string_view userId, std::string_view job, TDateTime workDate,
                     const RequestContext& ctx, std::string& pmid);

// Creates the report (id 0 = new) with the work date sent as "mm/dd/yyyy".
// Raises like FindDailyReport.
void WriteDailyReport(std::string_view userId, std::string_view job, TDateTime workDate,
                      const RequestContext& ctx);

}  // namespace tallyhand
