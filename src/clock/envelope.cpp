#include "clock/envelope.h"

#include "log/error_log.h"

namespace tallyhand {

namespace {

constexpr std::string_view kErrorHead = R"({"error":"1","RID":")";
constexpr std::string_view kSuccessHead = R"({"error":"0","RID":")";
constexpr std::string_view kResponseMember = R"(","response":)";
constexpr std::string_view kKeyMember = R"(,"key":")";
constexpr std::string_view kKeyEnd = "\"";
constexpr std::string_view kTail = R"(,"eofline":"eof"})";

bool IsBlank(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 0x20) return false;
  }
  return true;
}

[[noreturn]] void RaiseResultMessage(const TResultSet& set) {
  // A set without the column fails here with the data layer's "Field ... not found".
  std::string message = set.FieldByName("ResultMessage").AsString();
  EventLog().AddToLog(message);
  throw ENVMobileException(std::move(message));
}

bool IsNegative(const TResultSet& set, int column) {
  TField field = set.Fields(column);
  return !field.IsNull() && field.AsInteger() < 0;
}

}  // namespace

std::string FormatResponse(bool isError, std::string_view response, std::string_view rid,
                           std::string_view key, bool raw) {
  const bool withKey = !isError && !IsBlank(key);
  std::string envelope;
  envelope.reserve(kErrorHead.size() + rid.size() + kResponseMember.size() + response.size() +
                   2 + (withKey ? kKeyMember.size() + key.size() + kKeyEnd.size() : 0) +
                   kTail.size());
  envelope.append(isError ? kErrorHead : kSuccessHead);
  envelope.append(rid);
  envelope.append(kResponseMember);
  if (!raw) envelope.push_back('"');
  envelope.append(response);
  if (!raw) envelope.push_back('"');
  if (withKey) {
    envelope.append(kKeyMember);
    envelope.append(key);  // as passed: the trimming only decides whether it is blank
    envelope.append(kKeyEnd);
  }
  envelope.append(kTail);

  TErrorLog& log = EventLog();
  if (isError) log.AddToLog(response);
  std::string line;
  line.reserve(17 + envelope.size());
  line.append("FormatResponse: ").append(envelope);
  log.AddToLog(line);
  return envelope;
}

void CheckResultStatus(const TResultSet& set) {
  const int status = set.FindFieldIndex("ResultStatus");
  if (status >= 0) {
    if (set.Fields(status).IsNull()) return;  // ResultCode is not consulted then
    if (IsNegative(set, status)) RaiseResultMessage(set);
  }
  const int code = set.FindFieldIndex("ResultCode");
  if (code >= 0 && IsNegative(set, code)) RaiseResultMessage(set);
}

}  // namespace tallyhand
