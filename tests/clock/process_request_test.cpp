#include "clock/process_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "clock/envelope.h"
#include "clock/json_request.h"
#include "clock/key_answer.h"
#include "clock/redis_key_store.h"
#include "clock/session_keys.h"
#include "clock/site_fixture.h"
#include "platform/datetime.h"

namespace tallyhand {
namespace {

using testing::Backend;
using testing::Site;

// ---- the lenient request parse -------------------------------------------------------

TEST(JsonRequest, ReadsMembersAsText) {
  const std::optional<JsonRequest> request = JsonRequest::Parse(
      R"({"s":" text\n","i":17,"f":-1.50e3,"t":true,"n":null,"o":{"a":[1,"x\"y"]},"e":""})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("s"), " text\n");
  EXPECT_EQ(request->TrimmedMember("s"), "text");
  EXPECT_EQ(request->Member("i"), "17");
  EXPECT_EQ(request->Member("f"), "-1.50e3");
  EXPECT_EQ(request->Member("t"), "true");
  EXPECT_EQ(request->Member("n"), "");
  EXPECT_EQ(request->Member("o"), R"({"a":[1,"x\"y"]})");
  EXPECT_EQ(request->Member("e"), "");
  EXPECT_EQ(request->Member("missing"), "");
  EXPECT_EQ(request->Member("S"), "") << "names match with letter case";
}

TEST(JsonRequest, NestedMembersDoNotLeakToTheTop) {
  const std::optional<JsonRequest> request =
      JsonRequest::Parse(R"({"o":{"key":"inner","k2":{"key":"deeper"}},"a":[{"key":"x"}]})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("key"), "");
  EXPECT_EQ(request->Member("a"), R"([{"key":"x"}])");
}

TEST(JsonRequest, LenientAboutTheRest) {
  std::optional<JsonRequest> request = JsonRequest::Parse(" {\"a\":\"1\"} trailing {garbage");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("a"), "1");
  request = JsonRequest::Parse("{/* note */ \"a\":\"1\", // more\n \"b\":[2,],}");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("b"), "[2]");
  // Of a repeated name the last value counts.
  request = JsonRequest::Parse(R"({"a":"first","a":"second"})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("a"), "second");
}

TEST(JsonRequest, NoValueOrNoObject) {
  for (const char* text : {"", "   ", "oops", "{\"a\":", "{\"a\" 1}", "\"unterminated"})
    EXPECT_FALSE(JsonRequest::Parse(text)) << text;
  for (const char* text : {"[{\"a\":\"1\"}]", "\"a\"", "17", "null"}) {
    const std::optional<JsonRequest> request = JsonRequest::Parse(text);
    ASSERT_TRUE(request) << text;
    EXPECT_EQ(request->Member("a"), "") << text;
  }
}

TEST(JsonRequest, TextLengthNotNulTerminated) {
  const std::string text = "{\"a\":\"12345\"}";
  EXPECT_FALSE(JsonRequest::Parse(std::string_view(text).substr(0, text.size() - 1)));
  EXPECT_FALSE(JsonRequest::Parse(std::string("{\"a\":\"1\0\"}", 10)));
}

// Hostile nesting must neither overflow the stack nor be refused.
TEST(JsonRequest, DeepNestingIsReadWithoutRecursion) {
  constexpr std::size_t kDepth = 200000;
  const std::string nested = std::string(kDepth, '[') + std::string(kDepth, ']');
  const std::optional<JsonRequest> request =
      JsonRequest::Parse("{\"AuthUser\":" + nested + ",\"RID\":\"1\"}");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Member("AuthUser"), nested);
  EXPECT_EQ(request->Member("RID"), "1");
  EXPECT_TRUE(JsonRequest::Parse(nested));
}

// ---- processRequest over the reference database --------------------------------------

std::string Err(const std::string& rid, const std::string& text) {
  return R"({"error":"1","RID":")" + rid + R"(","response":")" + text + R"(","eofline":"eof"})";
}
std::string Rows(const std::string& rid, const std::string& rows) {
  return R"({"error":"0","RID":")" + rid + R"(","response":)" + rows + R"(,"eofline":"eof"})";
}
const std::string kJobsOfAcme =
    R"([{"Job":"AB","Description":"Annex"},{"Job":"JOB 1","Description":"Office building"},)"
    R"({"Job":"JOB 2","Description":"Warehouse"},{"Job":"Paving","Description":"Yard paving"},)"
    R"({"Job":"X1","Description":"Site clearing"}])";
const std::string kJobList = "EXECUTE PROCEDURE nvm_Job_List('_userID_');";

// A request object; members given as nullopt are left out.
std::string Request(std::optional<std::string> user, std::optional<std::string> pass,
                    std::optional<std::string> method, std::optional<std::string> company,
                    std::optional<std::string> rid = std::nullopt,
                    std::optional<std::string> key = std::nullopt) {
  std::string text = "{";
  auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (!value) return;
    if (text.size() > 1) text += ",";
    text += std::string("\"") + name + "\":\"" + *value + "\"";
  };
  add("AuthUser", user);
  add("AuthPass", pass);
  add("ReqMethod", method);
  add("AuthComp", company);
  add("RID", rid);
  add("key", key);
  return text + "}";
}
std::string Jsmith(const std::string& method, const std::string& rid = "r1") {
  return Request("jsmith", "secret", method, "Acme Builders", rid);
}
// What the az build echoes of a one-line request: double quotes as apostrophes, backslashes
// doubled.
std::string Echo(const std::string& text) {
  std::string echo;
  for (char c : text) {
    if (c == '"') {
      echo += '\'';
    } else {
      echo += c;
      if (c == '\\') echo += c;
    }
  }
  return echo;
}

enum class Match { Exact, Prefix, KeyAnswer };

struct RequestCase {
  const char* name;
  std::string request;
  std::string expected;  // the whole response, or its beginning (Prefix), or the RID (KeyAnswer)
  Match match = Match::Exact;
  bool closingLine = true;
  std::optional<std::string> authLine = std::nullopt;  // the "AuthUser:" line, when written
  Build build = Build::Az;
};

void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

std::vector<RequestCase> RequestCases() {
  const std::string missingPassword =
      Request("jsmith", std::nullopt, kJobList, "Acme Builders", "5");
  const std::string array =
      R"([{"AuthUser":"jsmith","AuthPass":"secret","ReqMethod":"checkLogin","AuthComp":"Acme Builders"}])";
  return {
      {"EmptyText", "", Err("", "Invalid request!")},
      {"NotJson", "oops \"a\"\\\r\n", Err("", "Invalid request!oops 'a'\\\\")},
      {"NotJsonStandardBuild", "oops \"a\"", Err("", "invalid request!"), Match::Exact, true,
       std::nullopt, Build::Standard},
      {"ArrayHasNoMembers", array, Err("", "Invalid request!" + Echo(array)), Match::Exact, true,
       "AuthUser:- ReqMethod:"},
      {"BareValue", "\"checkLogin\"", Err("", "Invalid request!'checkLogin'"), Match::Exact,
       true, "AuthUser:- ReqMethod:"},
      {"MissingPassword", missingPassword, Err("5", "Invalid request!" + Echo(missingPassword)),
       Match::Exact, true, "AuthUser:jsmith- ReqMethod:" + kJobList},
      {"MissingPasswordStandardBuild", missingPassword, Err("5", "invalid request!"),
       Match::Exact, true, std::nullopt, Build::Standard},
      {"BlankPasswordIsMissing", Request("jsmith", " \\t", "checkLogin", "Acme Builders", "6"),
       Err("6", "Invalid request!" +
                    Echo(Request("jsmith", " \\t", "checkLogin", "Acme Builders", "6")))},
      {"MissingCompany", Request("jsmith", "secret", "checkLogin", std::nullopt, "7"),
       Err("7", "Invalid request!" +
                    Echo(Request("jsmith", "secret", "checkLogin", std::nullopt, "7")))},
      {"RidAsNumber",
       R"({"AuthUser":"jsmith","AuthPass":"secret","ReqMethod":"EXECUTE PROCEDURE nvm_Job_List('_userID_');","AuthComp":"Acme Builders","RID":17})",
       Rows("17", kJobsOfAcme)},
      {"NoRid", Request("jsmith", "secret", kJobList, "Acme Builders"), Rows("", kJobsOfAcme),
       Match::Exact, true, "AuthUser:jsmith- ReqMethod:" + kJobList},
      {"ValuesTrimmed",
       Request(" jsmith\\n", "secret ", " " + kJobList + "\\t", "  Acme Builders\\t", " r2 "),
       Rows("r2", kJobsOfAcme), Match::Exact, true, "AuthUser:jsmith- ReqMethod:" + kJobList},
      {"TextAfterTheObjectIgnored", Jsmith(kJobList) + " and then {", Rows("r1", kJobsOfAcme)},
      {"CompanyInOtherLetterCase", Request("jsmith", "secret", kJobList, "acme builders", "r3"),
       Err("r3", "Given Company not found")},
      {"UnknownCompany", Request("jsmith", "secret", kJobList, "Nobody Inc", "r3"),
       Err("r3", "Given Company not found")},
      // Company 1 is listed first under the same name; the user belongs to company 3.
      {"LastCompanyOfTheNameCounts", Jsmith("checkLogin", "r4"), "r4", Match::KeyAnswer, true,
       "AuthUser:jsmith- ReqMethod:checkLogin"},
      {"WrongPassword", Request("jsmith", "wrong", "checkLogin", "Acme Builders", "r5"),
       Err("r5", "Invalid Login !")},
      {"UserNotFound", Request("ghost", "ghost", "checkLogin", "Acme Builders", "r6"),
       Err("r6", "Quarrow User not found, make sure credentials are correct"), Match::Exact,
       false},
      {"UsersTableLocked", Request("locked", "locked", "checkLogin", "Acme Builders", "r6"),
       Err("r6",
           "SQL statement failed on accessing USERS table.  Make sure it is not locked by other users"),
       Match::Exact, false},
      {"UserZeroIsValid",
       Request("admin", "admin", R"(Select '_userID_' AS \"A\" FROM company WHERE CompanyNumber = 1)",
               "Acme Builders", "r7"),
       Rows("r7", R"([{"A":"0"}])")},
      {"NoMobileAccess", Request("mjones", "pass2", "checkLogin", "Acme Builders", "r8"),
       Err("r8", "Quarrow User is NOT enabled for Mobile Access")},
      {"NullMobileAccessIsNone", Request("nobody", "x", "checkLogin", "Acme Builders", "r8"),
       Err("r8", "Quarrow User is NOT enabled for Mobile Access")},
      {"SignInNameIsCaseSensitive", Jsmith("CheckLogin", "r9"),
       R"({"error":"1","RID":"r9","response":"Error on executing procedure: )", Match::Prefix},
      {"UserIdReplacedEverywhere",
       Jsmith(R"(Select '_userID_' AS \"A\", _userID_ + 1 AS \"B\" FROM company WHERE CompanyNumber = 1)"),
       Rows("r1", R"([{"A":"42","B":"43"}])")},
      {"ReportedDayAnsweredWithKey",
       Jsmith("EXECUTE PROCEDURE nvm_DailyReportRecord_Write(_userID_,0,'JOB 1','02/13/2020','','');",
              "r10"),
       "r10", Match::KeyAnswer},
      {"RepeatedMemberLastCounts",
       R"({"AuthUser":"jsmith","AuthPass":"wrong","AuthPass":"secret","ReqMethod":"checkLogin","AuthComp":"Acme Builders","RID":"r11"})",
       "r11", Match::KeyAnswer},
  };
}

// Messages logged from index `from` on.
std::vector<std::string> MessagesSince(Site& site, std::size_t from) {
  std::vector<std::string> all = site.Log().Messages();
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}
bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class ProcessRequestCases
    : public ::testing::TestWithParam<std::tuple<Backend, RequestCase>> {
 protected:
  static void TearDownTestSuite() { testing::ReleaseSharedSite(); }
};

TEST_P(ProcessRequestCases, Answers) {
  const auto& [backend, c] = GetParam();
  SKIP_WITHOUT_BACKEND(backend);
  Site& site = testing::SharedSite(backend);
  const std::size_t logged = site.Log().Messages().size();

  std::string response = "unset";
  processRequest(site.Dm(), c.request, response, c.build);

  switch (c.match) {
    case Match::Exact:
      EXPECT_EQ(response, c.expected);
      break;
    case Match::Prefix:
      EXPECT_EQ(response.substr(0, c.expected.size()), c.expected) << response;
      break;
    case Match::KeyAnswer: {
      const std::optional<std::string> key = testing::KeyOfAnswer(response, c.expected);
      ASSERT_TRUE(key) << response;
      std::int32_t uid = -1;
      std::int32_t cid = -1;
      EXPECT_TRUE(CheckKey(*key, uid, cid));
      EXPECT_EQ(uid, 42);
      EXPECT_EQ(cid, 3);
      break;
    }
  }
  const std::vector<std::string> lines = MessagesSince(site, logged);
  EXPECT_EQ(Contains(lines, "Result processRequest: " + response), c.closingLine);
  if (c.authLine) {
    EXPECT_TRUE(Contains(lines, *c.authLine)) << *c.authLine;
  }
  const bool parsed = JsonRequest::Parse(c.request).has_value();
  EXPECT_EQ(AnyStartsWith(lines, "AuthUser:"), parsed);
  for (const std::string& line : lines) {
    if (line.rfind("AuthUser:", 0) == 0) {
      EXPECT_EQ(line.find("secret"), std::string::npos) << "password logged: " << line;
    }
  }
}

std::string RequestCaseName(
    const ::testing::TestParamInfo<std::tuple<Backend, RequestCase>>& info) {
  return std::string(testing::BackendName(std::get<0>(info.param))) + "_" +
         std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Table, ProcessRequestCases,
                         ::testing::Combine(::testing::Values(Backend::Sqlite, Backend::Postgres,
                                                              Backend::Odbc),
                                            ::testing::ValuesIn(RequestCases())),
                         RequestCaseName);

// ---- session keys --------------------------------------------------------------------

class ProcessRequestKeys : public ::testing::TestWithParam<Backend> {
 protected:
  static void TearDownTestSuite() { testing::ReleaseSharedSite(); }
  void SetUp() override { SKIP_WITHOUT_BACKEND(GetParam()); }
  void TearDown() override { SetClockForTesting({}); }

  std::string Run(const std::string& request, Build build = Build::Az) {
    std::string response;
    processRequest(testing::SharedSite(GetParam()).Dm(), request, response, build);
    return response;
  }
  std::string SignIn() {
    const std::string response = Run(Jsmith("checkLogin"));
    const std::optional<std::string> key = testing::KeyOfAnswer(response, "r1");
    if (!key) ADD_FAILURE() << response;
    return key.value_or("");
  }
};

TEST_P(ProcessRequestKeys, KeyAloneNeedsNoCredentials) {
  const std::string key = SignIn();
  EXPECT_EQ(Run(R"({"key":")" + key + R"(","ReqMethod":")" + kJobList + R"(","RID":"k1"})"),
            Rows("k1", kJobsOfAcme));
  // Credentials of another user do not change whom the key stands for.
  EXPECT_EQ(Run(Request("kwhite", "pw", kJobList, "Northwind Paving", "k2", key)),
            Rows("k2", kJobsOfAcme));
  // A key with blanks around it is trimmed before the lookup.
  EXPECT_EQ(Run(R"({"key":" )" + key + R"(\n","ReqMethod":")" + kJobList + R"("})"),
            Rows("", kJobsOfAcme));
}

TEST_P(ProcessRequestKeys, KeyAloneWithoutMethodRunsTheEmptyStatement) {
  const std::string key = SignIn();
  const std::string request = R"({"key":")" + key + R"(","RID":"k3"})";
  const std::string response = Run(request);
  const std::string head = R"({"error":"1","RID":"k3","response":"Error on executing procedure: )";
  const std::string tail = " : Initial request" + Echo(request) + R"(","eofline":"eof"})";
  EXPECT_EQ(response.substr(0, head.size()), head) << response;
  ASSERT_GE(response.size(), tail.size());
  EXPECT_EQ(response.substr(response.size() - tail.size()), tail) << response;
}

TEST_P(ProcessRequestKeys, SignInWithALiveKeyIssuesASecondKey) {
  const std::string first = SignIn();
  const std::string response =
      Run(R"({"key":")" + first + R"(","ReqMethod":"checkLogin","RID":"k4"})");
  const std::optional<std::string> key = testing::KeyOfAnswer(response, "k4");
  ASSERT_TRUE(key) << response;
  const std::string second = *key;
  EXPECT_NE(second, first);
  std::int32_t uid = -1;
  std::int32_t cid = -1;
  EXPECT_TRUE(CheckKey(first, uid, cid));
  EXPECT_TRUE(CheckKey(second, uid, cid));
  EXPECT_EQ(uid, 42);
  EXPECT_EQ(cid, 3);
}

TEST_P(ProcessRequestKeys, ExpiredOrUnknownKeyFallsBackToCredentials) {
  const std::string key = SignIn();
  const TDateTime later = Now() + 16.0 / kMinutesPerDay;
  SetClockForTesting([later] { return later; });
  const std::string keyOnly = R"({"key":")" + key + R"(","ReqMethod":")" + kJobList + R"("})";
  EXPECT_EQ(Run(keyOnly), Err("", "Invalid request!" + Echo(keyOnly)));
  EXPECT_EQ(Run(keyOnly, Build::Standard), Err("", "invalid request!"));
  // With credentials the request still goes through.
  EXPECT_EQ(Run(Request("jsmith", "secret", kJobList, "Acme Builders", "k5", key)),
            Rows("k5", kJobsOfAcme));
  const std::string lowerKey = R"({"key":"abcdefghijabcdefghijabcdefghijab","ReqMethod":"x"})";
  EXPECT_EQ(Run(lowerKey), Err("", "Invalid request!" + Echo(lowerKey)));
}

INSTANTIATE_TEST_SUITE_P(Backends, ProcessRequestKeys,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::Odbc),
                         [](const auto& info) { return testing::BackendName(info.param); });

// ---- a key store that cannot be reached ----------------------------------------------

// The shared store down: a request with a key, a sign-in and the daily report write
// (which issue keys) answer an error naming the store, never a key no server could
// verify and never the fallback of an unknown key.
class ProcessRequestKeyStoreDown : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { testing::ReleaseSharedSite(); }
  void SetUp() override {
    // A port that refuses connections: bound once, then closed.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    UseKeyStore(std::make_unique<RedisKeyStore>(
        RedisEndpoint{"127.0.0.1", ntohs(address.sin_port), 0, "", std::chrono::seconds(1)},
        kDefaultMaxKeysPerUser));
  }
  void TearDown() override { UseKeyStore(nullptr); }

  std::string Run(const std::string& request) {
    std::string response;
    processRequest(testing::SharedSite(Backend::Sqlite).Dm(), request, response, Build::Az);
    return response;
  }
  std::string ReportCount() {
    return testing::SharedSite(Backend::Sqlite).QueryText("SELECT COUNT(*) FROM daily_reports");
  }
};

TEST_F(ProcessRequestKeyStoreDown, AnswersErrorsNamingTheStore) {
  const std::string down = "Session key store (Redis) unreachable: Connection refused";
  const std::string notIssued = "No session key could be issued. " + down;
  const std::string key(32, 'K');
  EXPECT_EQ(Run(R"({"key":")" + key + R"(","ReqMethod":")" + kJobList + R"(","RID":"d1"})"), Err("d1", down));
  EXPECT_EQ(Run(Request("jsmith", "secret", kJobList, "Acme Builders", "d2", key)), Err("d2", down));
  EXPECT_EQ(Run(Jsmith("checkLogin", "d3")), Err("d3", notIssued));
  // The day already has its report: the check answers with a key instead of writing.
  const std::string before = ReportCount();
  EXPECT_EQ(Run(Jsmith("EXECUTE PROCEDURE nvm_DailyReportRecord_Write(_userID_,0,'JOB 1','02/13/2020','','');", "d4")),
            Err("d4", notIssued));
  EXPECT_EQ(ReportCount(), before);
  // Requests that need no key are served as ever.
  EXPECT_EQ(Run(Jsmith(kJobList, "d5")), Rows("d5", kJobsOfAcme));
}

// ---- a database that fails -----------------------------------------------------------

// A site of its own whose SQLite database is changed behind the data module's back.
class ProcessRequestBrokenDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ReleaseSharedSite();
    site_.emplace(Backend::Sqlite);
  }
  void TearDown() override { site_.reset(); }

  void Alter(const std::string& sql) {
    sqlite3* db = nullptr;
    const std::string path = site_->Log().Folder().string() + "/tallyhand.db";
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
  }
  void SetLoginBody(const std::string& body) {
    Alter("UPDATE stored_procedures SET body = '" + body +
          "' WHERE name = 'nvSy1_NVQIX_MobileUserLogin'");
  }
  std::string Run(const std::string& request) {
    std::string response = "unset";
    processRequest(site_->Dm(), request, response, Build::Az);
    return response;
  }
  std::vector<std::string> Lines() { return site_->Log().Messages(); }

  std::optional<Site> site_;
};

TEST_F(ProcessRequestBrokenDatabase, CompanyListFailureIsAnsweredWithoutClosingLine) {
  Alter("DROP TABLE company");
  const std::string response = Run(Jsmith("checkLogin"));
  const std::string head = R"({"error":"1","RID":"r1","response":"Error Getting Companies: )";
  EXPECT_EQ(response.substr(0, head.size()), head) << response;
  EXPECT_FALSE(AnyStartsWith(Lines(), "Result processRequest: "));
}

TEST_F(ProcessRequestBrokenDatabase, LoginFailureIsAnsweredWithoutClosingLine) {
  Alter("DELETE FROM stored_procedures WHERE name = 'nvSy1_NVQIX_MobileUserLogin'");
  const std::string response = Run(Jsmith("checkLogin"));
  const std::string head = R"({"error":"1","RID":"r1","response":"Error on Login: )";
  EXPECT_EQ(response.substr(0, head.size()), head) << response;
  EXPECT_FALSE(AnyStartsWith(Lines(), "Result processRequest: "));
}

TEST_F(ProcessRequestBrokenDatabase, FailedLoginStatusLeavesAsException) {
  SetLoginBody("SELECT 42 AS UserID, 1 AS UseHasMobileAccess, -1 AS ResultStatus, 0 AS ResultCode, ''locked out'' AS ResultMessage");
  std::string response = "unset";
  try {
    processRequest(site_->Dm(), Jsmith("checkLogin"), response, Build::Az);
    FAIL() << "no exception";
  } catch (const ENVMobileException& e) {
    EXPECT_STREQ(e.what(), "locked out");
  }
  EXPECT_EQ(response, "unset");
}

TEST_F(ProcessRequestBrokenDatabase, LoginWithoutItsColumnsLeavesAsException) {
  SetLoginBody("SELECT 42 AS Other, 1 AS UseHasMobileAccess");
  std::string response = "unset";
  EXPECT_THROW(processRequest(site_->Dm(), Jsmith("checkLogin"), response, Build::Az), Exception);
  EXPECT_EQ(response, "unset");
  SetLoginBody("SELECT 42 AS UserID");
  EXPECT_THROW(processRequest(site_->Dm(), Jsmith("checkLogin"), response, Build::Az), Exception);
}

TEST_F(ProcessRequestBrokenDatabase, OnlyTheFirstLoginRowCounts) {
  SetLoginBody("SELECT 42 AS UserID, 1 AS UseHasMobileAccess UNION ALL SELECT -2, 0");
  const std::string response = Run(Jsmith("checkLogin", "f1"));
  EXPECT_TRUE(testing::KeyOfAnswer(response, "f1")) << response;
}

TEST_F(ProcessRequestBrokenDatabase, NullUserIdReadsAsZero) {
  SetLoginBody("SELECT NULL AS UserID, 1 AS UseHasMobileAccess");
  EXPECT_EQ(Run(Jsmith(R"(Select '_userID_' AS \"A\" FROM company WHERE CompanyNumber = 1)")),
            Rows("r1", R"([{"A":"0"}])"));
}

}  // namespace
}  // namespace tallyhand
