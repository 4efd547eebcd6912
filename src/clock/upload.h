// The picture upload request: who is uploading, then the employee-picture upload
// procedure with the clock event's values, answered in the response envelope.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clock/BaseGlobConstants.h"

namespace tallyhand {

class TMainDM;

// The query fields of an upload and the saved picture's full path. Absent fields are
// empty. The standard build has no tskey and devId and ignores them.
struct UploadFields {
  std::string AuthUser, AuthPass, AuthComp, path, lat, lon, clock_type, clock_date,
      oclock_date, pmid, e_no, tskey, devId, RID, key;
};

// Signs the uploader in (live session key, or company, user name and password), runs the
// upload procedure and returns the envelope: its rows on success, the reason otherwise.
std::string processFileReq2(TMainDM& dm, const UploadFields& fields, Build build);

// Runs the statement with no values, checks its status columns and returns its rows as
// JSON. Failures are raised to the caller.
std::string UploadResultToJSON(TMainDM& dm, std::string_view sql);

// The name of the first of the values written into the statement without quotes (pmid,
// e_no, clock_type, lat, lon) that is not a plain number; nullopt when all are. A plain
// number is an optional sign, digits and an optional fraction, blanks around it allowed;
// an empty value is allowed too and goes into the statement as NULL.
std::optional<std::string_view> FindInvalidNumberField(const UploadFields& fields);

// The upload statement for the user: quoted values with single quotes doubled, the
// unquoted numbers as they are (NULL when empty), every "_userID_" replaced by the user
// id. Raises EConvertError "Invalid value for <field>" when a number is not plain.
std::string BuildUploadStatement(const UploadFields& fields, std::int32_t userId, Build build);

}  // namespace tallyhand
