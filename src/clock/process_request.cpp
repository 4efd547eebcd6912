#include "clock/process_request.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "clock/envelope.h"
#include "clock/text_edit.h"
#include "clock/json_request.h"
#include "clock/request_context.h"
#include "clock/rows_json.h"
#include "clock/session_keys.h"
#include "clock/method_check.h"
#include "data/mainDM.h"
#include "data/sql_params.h"
#include "log/error_log.h"

namespace tallyhand {
namespace {

constexpr std::string_view kCompanyListStatement =
    "Select CompanyNumber,company_name as CompanyName FROM company";
constexpr std::string_view kLoginMarkers = "(:CompanyID,:UserID,:Password);";
constexpr std::string_view kSignInMethod = "checkLogin";
constexpr std::string_view kUserIdPlaceholder = "_userID_";

struct Caller {
  std::int32_t userId = -1;
  std::int32_t companyId = -1;
  bool keyValid = false;
};

std::string InvalidRequestResponse(std::string_view requestText, std::string_view rid,
                                   Build build) {
  std::string text(InvalidRequestText(build));
  // Only the az build echoes the request; cleaned so that it cannot break the quotes.
  if (build == Build::Az) text = CleanErrorText(text + std::string(requestText));
  return FormatResponse(true, text, rid, "", false);
}

std::string ErrorResponse(std::string_view text, std::string_view rid) {
  return FormatResponse(true, text, rid, "", false);
}

// The company number of the last listed company of that name, or -1. A failed run gives
// nullopt with errorResponse set; a failed status leaves as an exception.
std::optional<std::int32_t> FindCompany(TMainDM& dm, std::string_view companyName,
                                        std::string_view rid, std::string& errorResponse) {
  std::unique_ptr<TResultSet> companies;
  try {
    companies = dm.ExecuteFixedQuery(TSQLParams{}, kCompanyListStatement);
  } catch (const std::exception& e) {
    errorResponse = ErrorResponse("Error Getting Companies: " + std::string(e.what()), rid);
    return std::nullopt;
  }
  CheckResultStatus(*companies);
  std::int32_t companyId = -1;
  for (companies->First(); !companies->Eof(); companies->Next()) {
    if (companies->FieldByName(res::CompanyName).AsString() == companyName) {
      companyId = companies->FieldByName(res::CompanyNumber).AsInteger();
    }
  }
  return companyId;
}

std::unique_ptr<TResultSet> RunLogin(TMainDM& dm, std::int32_t companyId,
                                     const std::string& userName, const std::string& password) {
  TSQLParams params = TSQLParams::Create(3);
  params.Add(0, Value(companyId));
  params.Add(1, Value(userName));
  params.Add(2, Value(password));
  std::string sql(res::ExecuteProcedure);
  sql += res::MobileUserLogin;
  sql += kLoginMarkers;
  return dm.ExecuteFixedQuery(params, sql);
}

// The response to a signed-in caller's method.
std::string AnswerMethod(const std::string& reqMethod, const RequestContext& ctx) {
  if (reqMethod == kSignInMethod) {
    std::string key;
    try {
      key = CreateKey(ctx.userId, ctx.companyId);
    } catch (const EKeyStoreUnavailable& e) {
      // A key that no server could verify would only fail the next request.
      return ErrorResponse(KeyNotIssuedText(e), ctx.rid);
    }
    return FormatResponse(false, "success", ctx.rid, key, false);
  }
  const std::string method =
      ReplaceAll(reqMethod, kUserIdPlaceholder, std::to_string(ctx.userId));
  SpecialMethodResult special = CheckSpecialMethod(method, ctx);
  if (special.handled) return std::move(special.text);
  try {
    const std::string rows = ExecuteMethodToJSON(special.text, ctx);
    return FormatResponse(false, rows, ctx.rid, "", true);
  } catch (const std::exception& e) {
    return ErrorResponse(ProcedureErrorText(e.what(), ctx.requestText), ctx.rid);
  }
}

// Runs the request up to its response. Returns false on the paths that end without the
// closing log line.
bool Serve(TMainDM& dm, std::string_view requestText, std::string& response, Build build) {
  const std::optional<JsonRequest> request = JsonRequest::Parse(requestText);
  if (!request) {
    response = InvalidRequestResponse(requestText, "", build);
    return true;
  }
  const std::string authUser = request->TrimmedMember("AuthUser");
  const std::string authPass = request->TrimmedMember("AuthPass");
  const std::string reqMethod = request->TrimmedMember("ReqMethod");
  const std::string authComp = request->TrimmedMember("AuthComp");
  EventLog().AddToLog("AuthUser:" + authUser + "- ReqMethod:" + reqMethod);

  RequestContext ctx;
  ctx.dm = &dm;
  ctx.requestText = std::string(requestText);
  ctx.build = build;
  ctx.rid = "NONE";
  ctx.rid = request->TrimmedMember("RID");
  const std::string key = request->TrimmedMember("key");

  Caller caller;
  if (!key.empty()) {
    std::int32_t uid = -1;
    std::int32_t cid = -1;
    try {
      if (CheckKey(key, uid, cid)) caller = Caller{uid, cid, true};
    } catch (const EKeyStoreUnavailable& e) {
      // Not an unknown key: falling back to the credentials would hide the failure.
      response = ErrorResponse(CleanErrorText(e.Message()), ctx.rid);
      return true;
    }
  }
  if (!caller.keyValid &&
      (authUser.empty() || authPass.empty() || reqMethod.empty() || authComp.empty())) {
    response = InvalidRequestResponse(requestText, ctx.rid, build);
    return true;
  }

  std::int32_t companyId = caller.companyId;
  if (!caller.keyValid) {
    const std::optional<std::int32_t> found = FindCompany(dm, authComp, ctx.rid, response);
    if (!found) return false;
    companyId = *found;
  }
  if (companyId < 0) {
    response = ErrorResponse("Given Company not found", ctx.rid);
    return true;
  }

  std::int32_t userId = caller.keyValid ? caller.userId : -1;
  bool mobileAccess = false;
  {
    std::unique_ptr<TResultSet> login;
    try {
      login = RunLogin(dm, companyId, authUser, authPass);
    } catch (const std::exception& e) {
      response = ErrorResponse("Error on Login: " + std::string(e.what()), ctx.rid);
      return false;
    }
    CheckResultStatus(*login);
    if (caller.keyValid) {
      mobileAccess = true;
    } else if (login->IsEmpty()) {
      response = ErrorResponse("Invalid Login !", ctx.rid);
      return true;
    } else {
      login->First();
      userId = login->FieldByName(res::UserID).AsInteger();
      mobileAccess = login->FieldByName(res::UseHasMobileAccess).AsBoolean();
    }
  }

  if (userId == -1) {
    response = ErrorResponse("Quarrow User not found, make sure credentials are correct", ctx.rid);
    return false;
  }
  if (userId < -1) {
    response = ErrorResponse(
        "SQL statement failed on accessing USERS table.  Make sure it is not locked by other users",
        ctx.rid);
    return false;
  }
  if (!mobileAccess) {
    response = ErrorResponse("Quarrow User is NOT enabled for Mobile Access", ctx.rid);
    return true;
  }

  ctx.userId = userId;
  ctx.companyId = companyId;
  response = AnswerMethod(reqMethod, ctx);
  return true;
}

}  // namespace

void processRequest(TMainDM& dm, std::string_view requestText, std::string& response,
                    Build build) {
  if (Serve(dm, requestText, response, build)) {
    EventLog().AddToLog("Result processRequest: " + response);
  }
}

}  // namespace tallyhand
