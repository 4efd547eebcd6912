// Serves arbitrary request texts through processRequest, as the client request action
// hands them over (valid UTF-8), on a SQLite site holding the reference schema and demo
// data; each input meets the same data (the database is restored before it) and an
// empty key table. "@KEY@" in the input stands for a live session key of user 42 of
// company 3, so that the signed-in paths are reached without guessing a key. Each input
// is served by both builds.
//
// Besides a crash or a sanitizer report, a bug is:
// - an exception other than the system's own from processRequest;
// - a member read differently from the same text parsed into a document;
// - an answer that is not one envelope: the error flag, the request's RID exactly, the
//   response, a key only in a "success" answer, the end member, nothing after it;
// - a key in the answer that is not 32 letters "A" to "T" or that the key table does not
//   know for the signed-in user;
// - an error text built from the request or the database that holds a double quote or a
//   line break (those would break the envelope's JSON);
// - rows of a procedure call that are not a JSON array of objects of strings;
// - a transaction left open on the database after the answer.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "clock/json_request.h"
#include "clock/process_request.h"
#include "clock/session_keys.h"
#include "clock/text_edit.h"
#include "fuzz_site.h"
#include "log/error_log.h"
#include "platform/ascii_case.h"
#include "platform/codepage.h"
#include "platform/exception.h"

namespace {

using tallyhand::Build;
using tallyhand::fuzzing::Check;

constexpr std::string_view kKeyPlaceholder = "@KEY@";
constexpr std::int32_t kKeyUser = 42;
constexpr std::int32_t kKeyCompany = 3;
constexpr const char* kMembers[] = {"AuthUser", "AuthPass", "ReqMethod", "AuthComp", "RID", "key"};
// The parse flags of the request reader, so that both read the same texts.
constexpr unsigned kDocumentFlags = rapidjson::kParseIterativeFlag |
                                    rapidjson::kParseStopWhenDoneFlag |
                                    rapidjson::kParseNumbersAsStringsFlag |
                                    rapidjson::kParseCommentsFlag |
                                    rapidjson::kParseTrailingCommasFlag;

class RequestSite {
 public:
  RequestSite() : site_("request", false), pristine_(site_.DatabasePath()) {
    tallyhand::SetEventLog(&log_);
    dm_ = std::make_unique<tallyhand::TMainDM>(site_.Folder(), log_);
    dm_->LoadConnections();
  }

  tallyhand::TMainDM& Dm() { return *dm_; }
  void Restore() { pristine_.Restore(); }

 private:
  tallyhand::fuzzing::FuzzSite site_;
  tallyhand::fuzzing::PristineDatabase pristine_;
  tallyhand::TErrorLog log_;  // switched off: the log's own target is the extension's
  std::unique_ptr<tallyhand::TMainDM> dm_;
};

RequestSite& Site() {
  static RequestSite site;
  return site;
}

// Whether the reader's text of a member stands for what a document holds there: a
// string's value, a number as written, true or false, "" for null and absent, and a
// container as JSON text that reads back to the same container. Of a repeated name the
// last counts.
bool ReadsAsDocument(const std::string& read, const rapidjson::Document& document, const char* name) {
  if (!document.IsObject()) return read.empty();
  const rapidjson::Value* found = nullptr;
  for (const auto& member : document.GetObject()) {
    if (std::string_view(member.name.GetString(), member.name.GetStringLength()) == name)
      found = &member.value;
  }
  if (found == nullptr || found->IsNull()) return read.empty();
  if (found->IsBool()) return read == (found->GetBool() ? "true" : "false");
  // Numbers are strings here too (as written), so a string compares as one.
  if (found->IsString()) return read == std::string_view(found->GetString(), found->GetStringLength());
  rapidjson::Document container;
  container.Parse<kDocumentFlags>(read.data(), read.size());
  return !container.HasParseError() && container == *found;
}

// The RID the answer must echo; checks the request reader against the document.
std::string ExpectedRid(std::string_view text) {
  const std::optional<tallyhand::JsonRequest> request = tallyhand::JsonRequest::Parse(text);
  rapidjson::Document document;
  document.Parse<kDocumentFlags>(text.data(), text.size());
  Check(request.has_value() == !document.HasParseError(), "the reader accepts what a document does");
  if (!request) return {};
  for (const char* name : kMembers)
    Check(ReadsAsDocument(request->Member(name), document, name), "members read as a document reads them");
  return request->TrimmedMember("RID");
}

bool IsKeyText(std::string_view key) {
  if (key.size() != tallyhand::kKeyLength) return false;
  for (char c : key) {
    if (c < 'A' || c > 'T') return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         tallyhand::EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// A JSON array of objects whose values are strings, once the raw control characters
// that values may carry are read as blanks.
bool IsRowsArray(std::string_view rows) {
  std::string text(rows);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  if (document.HasParseError() || !document.IsArray()) return false;
  for (const auto& row : document.GetArray()) {
    if (!row.IsObject()) return false;
    for (const auto& member : row.GetObject()) {
      if (!member.value.IsString()) return false;
    }
  }
  return true;
}

void CheckQuotedText(std::string_view text) {
  // Database messages pass into these unchanged: their quotes are the database's.
  if (text.starts_with("Error Getting Companies: ") || text.starts_with("Error on Login: ")) return;
  Check(text.find_first_of("\"\r\n") == std::string_view::npos,
        "an error text holds no double quote or line break");
}

void CheckEnvelope(std::string_view answer, std::string_view rid, std::string_view method) {
  constexpr std::string_view kTail = R"(,"eofline":"eof"})";
  constexpr std::string_view kKeyMember = R"(,"key":")";
  const bool isError = answer.starts_with(R"({"error":"1","RID":")");
  Check(isError || answer.starts_with(R"({"error":"0","RID":")"), "the answer begins with the error flag");
  std::string_view rest = answer.substr(20);
  Check(rest.starts_with(rid), "the answer echoes the RID");
  rest.remove_prefix(rid.size());
  Check(rest.starts_with(R"(","response":)"), "the response follows the RID");
  rest.remove_prefix(13);
  Check(rest.ends_with(kTail), "the answer ends with the end member");
  rest.remove_suffix(kTail.size());

  std::string_view body = rest;
  const std::size_t keyAt = rest.rfind(kKeyMember);
  if (keyAt != std::string_view::npos && rest.ends_with('"') &&
      IsKeyText(rest.substr(keyAt + kKeyMember.size(), rest.size() - keyAt - kKeyMember.size() - 1)) &&
      rest.substr(0, keyAt) == "\"success\"") {
    Check(!isError, "an error answer has no key");
    const std::string_view key = rest.substr(keyAt + kKeyMember.size(), tallyhand::kKeyLength);
    std::int32_t uid = -1, cid = -1;
    Check(tallyhand::CheckKey(key, uid, cid), "an issued key is live");
    body = rest.substr(0, keyAt);
  }
  if (body.starts_with('[')) {
    Check(!isError, "rows come in success answers");
    if (StartsWithIgnoringCase(tallyhand::TrimText(method), "EXECUTE PROCEDURE"))
      Check(IsRowsArray(body), "procedure rows are an array of objects of strings");
    return;
  }
  Check(body.size() >= 2 && body.front() == '"' && body.back() == '"', "a text response is quoted");
  if (isError) CheckQuotedText(body.substr(1, body.size() - 2));
}

void Serve(const std::string& text, Build build) {
  Site().Restore();
  tallyhand::ClearKeysForTesting();
  // Key letters from a counter started afresh, so that an input replays the same way.
  int next = 0;
  tallyhand::SetKeyLetterSourceForTesting([next]() mutable { return next++ % 20; });
  const std::string key = tallyhand::CreateKey(kKeyUser, kKeyCompany);
  const std::string request = tallyhand::ReplaceAll(text, kKeyPlaceholder, key);
  const std::string rid = ExpectedRid(request);
  std::string answer;
  try {
    tallyhand::processRequest(Site().Dm(), request, answer, build);
  } catch (const tallyhand::Exception&) {
    return;  // answered by the web module's exception answer
  }
  const std::optional<tallyhand::JsonRequest> parsed = tallyhand::JsonRequest::Parse(request);
  CheckEnvelope(answer, rid, parsed ? parsed->TrimmedMember("ReqMethod") : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text =
      tallyhand::SanitizeUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  Serve(text, Build::Az);
  Serve(text, Build::Standard);
  return 0;
}
