#include "clock/upload.h"

#include <memory>

#include "clock/envelope.h"
#include "clock/text_edit.h"
#include "clock/rows_json.h"
#include "clock/session_keys.h"
#include "data/mainDM.h"
#include "data/sql_params.h"
#include "log/error_log.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr std::string_view kAzUploadHead =
    "EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(";
constexpr std::string_view kStandardUploadHead =
    "EXECUTE PROCEDURE nvm_DailyReportPELKEmployeePicture_Upload2(";
constexpr std::string_view kSignInMarkers = "(:companyNo,:username,:password);";
constexpr std::string_view kUserIdPlaceholder = "_userID_";

// The values written without quotes, in the order they are checked.
struct NumberField {
  std::string_view name;
  std::string UploadFields::*value;
};
constexpr NumberField kNumberFields[] = {
    {"pmid", &UploadFields::pmid},           {"e_no", &UploadFields::e_no},
    {"clock_type", &UploadFields::clock_type}, {"lat", &UploadFields::lat},
    {"lon", &UploadFields::lon},
};

std::string_view WithoutBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An optional sign, then digits with an optional fraction ("12", "-3.5", "7.", ".25"):
// text that can only ever be read as one numeric literal.
bool IsPlainNumber(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  std::size_t digits = 0;
  std::size_t at = 0;
  while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
  }
  return digits > 0 && at == text.size();
}

std::string InvalidValueText(std::string_view field) {
  return "Invalid value for " + std::string(field);
}

void AppendQuoted(std::string& statement, std::string_view value) {
  statement += '\'';
  for (const char c : value) {
    if (c == '\'') statement += '\'';
    statement += c;
  }
  statement += '\'';
}

void AppendNumber(std::string& statement, std::string_view value) {
  const std::string_view number = WithoutBlanks(value);
  // The app may leave a value out; NULL keeps the argument count and says "unknown".
  statement += number.empty() ? std::string_view("NULL") : number;
}

std::string ErrorResponse(std::string_view text, std::string_view rid) {
  return FormatResponse(true, text, rid, "", false);
}

// The company number of the last company listed under exactly that name, or -1.
std::int32_t LookupCompanyNumber(TMainDM& dm, std::string_view companyName) {
  const std::string statement =
      std::string(res::ExecuteProcedure) + std::string(res::MobileCompanyNamesLookup) + "();";
  EventLog().AddToLog("Executing " + statement);
  std::unique_ptr<TResultSet> companies;
  try {
    companies = dm.ExecuteFixedQuery(TSQLParams{}, statement);
  } catch (const Exception& e) {
    EventLog().AddToLog("Error on processFileReq2: " + e.Message());
    throw;
  }
  CheckResultStatus(*companies);
  std::int32_t companyNumber = -1;
  for (companies->First(); !companies->Eof(); companies->Next()) {
    if (companies->FieldByName(res::CompanyName).AsString() == companyName) {
      companyNumber = companies->FieldByName(res::CompanyNumber).AsInteger();
    }
  }
  return companyNumber;
}

std::unique_ptr<TResultSet> RunSignIn(TMainDM& dm, std::int32_t companyNumber,
                                      const UploadFields& fields) {
  TSQLParams params = TSQLParams::Create(3);
  params.Add(0, Value(companyNumber));
  params.Add(1, Value(fields.AuthUser));
  params.Add(2, Value(fields.AuthPass));
  const std::string statement =
      std::string(res::ExecuteProcedure) + std::string(res::MobileUserLogin) + std::string(kSignInMarkers);
  std::unique_ptr<TResultSet> signIn = dm.ExecuteFixedQuery(params, statement);
  CheckResultStatus(*signIn);
  return signIn;
}

// Everything between the first log line and the last; failures leave as exceptions.
std::string SignInAndUpload(TMainDM& dm, const UploadFields& fields, Build build) {
  std::int32_t keyUserId = -1;
  std::int32_t keyCompanyNumber = -1;
  bool keyLive = false;
  try {
    keyLive = !fields.key.empty() && CheckKey(fields.key, keyUserId, keyCompanyNumber);
  } catch (const EKeyStoreUnavailable& e) {
    // Not an unknown key: falling back to the credentials would hide the failure.
    return ErrorResponse(CleanErrorText(e.Message()), fields.RID);
  }

  if (!keyLive &&
      (fields.AuthUser.empty() || fields.AuthPass.empty() || fields.AuthComp.empty())) {
    return ErrorResponse(InvalidRequestText(build), fields.RID);
  }
  // Checked before any statement runs, so a refused value never reaches the database.
  if (const auto invalid = FindInvalidNumberField(fields)) {
    return ErrorResponse(InvalidValueText(*invalid), fields.RID);
  }

  const std::int32_t companyNumber =
      keyLive ? keyCompanyNumber : LookupCompanyNumber(dm, fields.AuthComp);
  if (companyNumber < 0) {
    return ErrorResponse("Invalid Company,Username,Password or Request !", fields.RID);
  }

  std::int32_t userId = -1;
  bool mobileAccess = false;
  {
    const std::unique_ptr<TResultSet> signIn = RunSignIn(dm, companyNumber, fields);
    if (keyLive) {
      userId = keyUserId;
      mobileAccess = true;
    } else {
      if (signIn->IsEmpty()) return ErrorResponse("Invalid Login !", fields.RID);
      userId = signIn->FieldByName(res::UserID).AsInteger();
      mobileAccess = signIn->FieldByName(res::UseHasMobileAccess).AsBoolean();
    }
  }
  if (!mobileAccess) {
    return ErrorResponse("Quarrow User is NOT enabled for Mobile Access", fields.RID);
  }

  const std::string rows = UploadResultToJSON(dm, BuildUploadStatement(fields, userId, build));
  return FormatResponse(false, rows, fields.RID, "", true);
}

}  // namespace

std::optional<std::string_view> FindInvalidNumberField(const UploadFields& fields) {
  for (const auto& field : kNumberFields) {
    const std::string_view value = WithoutBlanks(fields.*field.value);
    if (!value.empty() && !IsPlainNumber(value)) return field.name;
  }
  return std::nullopt;
}

std::string BuildUploadStatement(const UploadFields& fields, std::int32_t userId, Build build) {
  if (const auto invalid = FindInvalidNumberField(fields)) {
    throw EConvertError(InvalidValueText(*invalid));
  }
  std::string statement(build == Build::Az ? kAzUploadHead : kStandardUploadHead);
  statement += std::to_string(userId);
  statement += ',';
  AppendNumber(statement, fields.pmid);
  statement += ',';
  AppendNumber(statement, fields.e_no);
  statement += ',';
  AppendQuoted(statement, fields.path);
  statement += ',';
  AppendNumber(statement, fields.clock_type);
  statement += ',';
  AppendNumber(statement, fields.lat);
  statement += ',';
  AppendNumber(statement, fields.lon);
  statement += ',';
  AppendQuoted(statement, fields.clock_date);
  statement += ',';
  AppendQuoted(statement, fields.oclock_date);
  if (build == Build::Az) {
    statement += ',';
    AppendQuoted(statement, fields.tskey);
    statement += ',';
    AppendQuoted(statement, fields.devId);
  }
  statement += ");";
  return ReplaceAll(statement, kUserIdPlaceholder, std::to_string(userId));
}

std::string UploadResultToJSON(TMainDM& dm, std::string_view sql) {
  const std::unique_ptr<TResultSet> rows = dm.ExecuteQuery(TSQLParams{}, sql);
  CheckResultStatus(*rows);
  return ResultSetToJSON(*rows);
}

std::string processFileReq2(TMainDM& dm, const UploadFields& fields, Build build) {
  if (build == Build::Az) {
    EventLog().AddToLog("On processFileReq2: file " + fields.path + ", ts: " + fields.tskey +
                        ", IdKey: " + fields.devId + ", Employee: " + fields.e_no +
                        ", ClockType: " + fields.clock_type + ", ClockDate: " + fields.clock_date);
  } else {
    EventLog().AddToLog("On processFileReq2");
  }
  std::string response;
  try {
    response = SignInAndUpload(dm, fields, build);
  } catch (const Exception& e) {
    response = ErrorResponse(e.Message(), fields.RID);
  }
  EventLog().AddToLog("Result ProcessFileReq2: " + response);
  return response;
}

}  // namespace tallyhand
