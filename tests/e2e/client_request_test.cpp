// Sign-in and client requests over real HTTP, sent as the app sends them, against the
// reference database on every driver and in both builds: the key's life, the edge cases
// of the request envelope and the login, and an unreachable database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"
#include "e2e/moved_clock.h"

namespace tallyhand::e2e {
namespace {

using testsupport::HttpExchange;
using testsupport::HttpResponse;

constexpr std::string_view kJsmith =
    R"("AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders")";
constexpr std::string_view kListReports =
    "EXECUTE PROCEDURE nvm_DailyReportRecord_List('_userID_', '', 0)";
constexpr std::string_view kReportsOf42 =
    R"([{"PMID":"1","Job":"JOB 1","WorkDate":"2020-02-13","Notes":"Foundation poured"},)"
    R"({"PMID":"2","Job":"JOB 2","WorkDate":"2020-02-14","Notes":"Framing"}])";
constexpr std::string_view kListJobs = "EXECUTE PROCEDURE nvm_Job_List('_userID_')";
constexpr std::string_view kJobsOfCompany2 =
    R"([{"Job":"AB","Description":"Access road"},{"Job":"JOB 1","Description":"Main Street )"
    R"(resurfacing"},{"Job":"JOB 2","Description":"Parking lot"},{"Job":"Paving","Description":)"
    R"("General paving"},{"Job":"X1","Description":"Driveway repairs"}])";
constexpr std::string_view kJobsOfCompany3 =
    R"([{"Job":"AB","Description":"Annex"},{"Job":"JOB 1","Description":"Office building"},)"
    R"({"Job":"JOB 2","Description":"Warehouse"},{"Job":"Paving","Description":"Yard paving"},)"
    R"({"Job":"X1","Description":"Site clearing"}])";
// The signed-in user's name, for methods that must show which user they ran for.
constexpr std::string_view kWhoAmI = "SELECT UserName AS name FROM users WHERE UserID = _userID_";

struct SiteCase {
  Driver driver;
  Build build;
};

std::string SiteCaseName(const ::testing::TestParamInfo<SiteCase>& info) {
  return std::string(DriverName(info.param.driver)) +
         (info.param.build == Build::Az ? "_Az" : "_Standard");
}

// The text of the two invalid-request answers: the az build echoes the request.
std::string InvalidRequest(Build build, std::string_view requestText) {
  return build == Build::Az ? "Invalid request!" + EchoedText(requestText) : "invalid request!";
}

std::string Request(std::string_view members) { return "{" + std::string(members) + "}"; }

class ClientRequestTest : public ::testing::TestWithParam<SiteCase> {
 protected:
  SiteOptions Options() const { return {.build = GetParam().build, .driver = GetParam().driver}; }
  Build GetBuild() const { return GetParam().build; }

  // Signs jsmith in as the app does and returns the key (empty on failure).
  static std::string SignIn(uint16_t port, std::string_view rid) {
    const std::string json = Request(R"("RID":")" + std::string(rid) + R"(",)" +
                                     std::string(kJsmith) + R"(,"ReqMethod":"checkLogin")");
    const auto response = HttpExchange(port, HttpPost(kClientRequestPath, AppForm(json)));
    if (!response) return {};
    const std::optional<std::string> key = KeyAnswered(response->body, rid);
    EXPECT_TRUE(key) << response->body;
    if (!key) return {};
    EXPECT_TRUE(IsAnswer(response, Framed(KeyEnvelope(rid, *key))));
    return *key;
  }
};

// ---------------------------------------------------------------------------------------
// Sign-in, the key alone, and the key's end after 15 minutes of a moved clock.

class ClientSignIn : public ClientRequestTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kFaketimeLibrary))
        << "libfaketime is needed to move the server's clock (scripts/install-deps.sh)";
  }
  // The server's clock runs this offset ahead of the real one ("+16m").
  void MoveClock(const std::string& site, std::string_view offset) {
    e2e::MoveClock(site + "faketime", offset);
  }
};

TEST_P(ClientSignIn, KeyAloneServesUntilFifteenMinutesHavePassed) {
  E2eSite site(Options());
  MoveClock(site.Root(), "+0");
  const uint16_t port = site.Start({}, FaketimeEnvironment(site.Root() + "faketime")).Port();

  // The sign-in exactly as the app sends it.
  const std::string signIn =
      Request(R"("RID":"1",)" + std::string(kJsmith) + R"(,"ReqMethod":"checkLogin")");
  const std::string body = AppForm(signIn);
  EXPECT_EQ(body.find('"'), std::string::npos);
  const auto signedIn = HttpExchange(port, HttpPost(kClientRequestPath, body));
  ASSERT_TRUE(signedIn);
  const std::optional<std::string> key = KeyAnswered(signedIn->body, "1");
  ASSERT_TRUE(key) << signedIn->body;
  EXPECT_TRUE(IsAnswer(signedIn, Framed(KeyEnvelope("1", *key))));
  EXPECT_EQ(site.CountLogLines("AuthUser:jsmith- ReqMethod:checkLogin"), 1u);

  // The key alone, no credentials.
  const auto call = [&](std::string_view rid) {
    const std::string json = Request(R"("RID":")" + std::string(rid) + R"(","key":")" + *key +
                                     R"(","ReqMethod":")" + std::string(kListReports) + R"(")");
    return std::pair(json, HttpExchange(port, HttpPost(kClientRequestPath, AppForm(json))));
  };
  EXPECT_TRUE(IsAnswer(call("2").second, Framed(RowsEnvelope("2", kReportsOf42))));
  const size_t loginsBefore = site.CountLogLines("AuthUser:- ReqMethod:");

  MoveClock(site.Root(), "+14m");
  EXPECT_TRUE(IsAnswer(call("3").second, Framed(RowsEnvelope("3", kReportsOf42))));
  EXPECT_EQ(site.CountLogLines("AuthUser:- ReqMethod:"), loginsBefore + 1);

  MoveClock(site.Root(), "+16m");
  const auto [expiredRequest, expired] = call("4");
  EXPECT_TRUE(IsAnswer(
      expired, Framed(ErrorEnvelope("4", InvalidRequest(GetBuild(), expiredRequest + "\r\n")))));

  // Signing in again at the moved time gives a key that works.
  const std::string fresh = SignIn(port, "5");
  ASSERT_FALSE(fresh.empty());
  EXPECT_NE(fresh, *key);
  const std::string json = Request(R"("RID":"6","key":")" + fresh + R"(","ReqMethod":")" +
                                   std::string(kListReports) + R"(")");
  EXPECT_TRUE(IsAnswer(HttpExchange(port, HttpPost(kClientRequestPath, AppForm(json))),
                       Framed(RowsEnvelope("6", kReportsOf42))));
  for (const char* prefix : {"ExecuteQuery: ", "WebModuleException: ", "Error "}) {
    EXPECT_EQ(site.CountLogLines(prefix), 0u) << prefix;
  }
  ExpectCleanStop(site);
}

// ---------------------------------------------------------------------------------------
// The edge cases of the envelope, the login and the form body, one site per driver and
// build, one request per case.

struct EdgeCase {
  std::string name{};
  std::string method = "POST";
  std::string target = std::string(kClientRequestPath);
  std::string contentType = std::string(kFormType);
  std::string body{};
  // The expected envelope: "{KEY}" stands for a new key, "{ERROR}" for the message of the
  // statement that failed, as the log shows it and cleaned like the request echo.
  std::string answer{};
  std::string authLine{};  // the "AuthUser:" line expected, "" for none
  bool closingLine = true;
  int failedStatements = 0;
};

std::vector<EdgeCase> EdgeCases(Build build, const std::string& liveKey) {
  const std::string jsmith(kJsmith);
  const std::string listReports(kListReports);
  const std::string whoAmI(kWhoAmI);
  const auto invalid = [build](std::string_view text) { return InvalidRequest(build, text); };
  const auto raw = [](std::string body) {  // the form body with "+" not escaped
    for (size_t at; (at = body.find("%2B")) != std::string::npos;) body.replace(at, 3, "+");
    return body;
  };
  std::vector<EdgeCase> cases;

  const std::string notJson = "hello, server";
  cases.push_back({.name = "text that is not JSON",
                   .body = AppForm(notJson),
                   .answer = ErrorEnvelope("", invalid(notJson))});
  cases.push_back({.name = "empty body", .body = "", .answer = ErrorEnvelope("", invalid(""))});
  const std::string array =
      "[" + Request(R"("RID":"3",)" + jsmith + R"(,"ReqMethod":"checkLogin")") + "]";
  cases.push_back({.name = "array",
                   .body = AppForm(array),
                   .answer = ErrorEnvelope("", invalid(array)),
                   .authLine = "AuthUser:- ReqMethod:"});
  cases.push_back({.name = "RID as a number",
                   .body = AppForm(Request(R"("RID":17,)" + jsmith + R"(,"ReqMethod":")" +
                                           listReports + R"(")")),
                   .answer = RowsEnvelope("17", kReportsOf42),
                   .authLine = "AuthUser:jsmith- ReqMethod:" + listReports});
  cases.push_back({.name = "no RID",
                   .body = AppForm(Request(jsmith + R"(,"ReqMethod":")" + listReports + R"(")")),
                   .answer = RowsEnvelope("", kReportsOf42),
                   .authLine = "AuthUser:jsmith- ReqMethod:" + listReports});
  cases.push_back(
      {.name = "blanks and a tab around AuthComp and AuthUser",
       .body = AppForm(Request(
           R"("RID":"5","AuthUser":" kwhite ","AuthPass":"pw","AuthComp":"  Northwind Paving\t ",)"
           R"("ReqMethod":")" +
           std::string(kListJobs) + R"(")")),
       .answer = RowsEnvelope("5", kJobsOfCompany2),
       .authLine = "AuthUser:kwhite- ReqMethod:" + std::string(kListJobs)});
  cases.push_back(
      {.name = "company name in other letter case",
       .body = AppForm(Request(
           R"("RID":"6","AuthUser":"jsmith","AuthPass":"secret","AuthComp":"acme builders",)"
           R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("6", "Given Company not found"),
       .authLine = "AuthUser:jsmith- ReqMethod:checkLogin"});
  // Companies 1 and 3 are both "Acme Builders"; jsmith belongs to 3, the last listed.
  cases.push_back({.name = "two companies of one name",
                   .body = AppForm(Request(R"("RID":"7",)" + jsmith + R"(,"ReqMethod":")" +
                                           std::string(kListJobs) + R"(")")),
                   .answer = RowsEnvelope("7", kJobsOfCompany3),
                   .authLine = "AuthUser:jsmith- ReqMethod:" + std::string(kListJobs)});
  cases.push_back(
      {.name = "UserID -2",
       .body = AppForm(Request(
           R"("RID":"8","AuthUser":"locked","AuthPass":"locked","AuthComp":"Acme Builders",)"
           R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("8",
                               "SQL statement failed on accessing USERS table.  Make sure it is "
                               "not locked by other users"),
       .authLine = "AuthUser:locked- ReqMethod:checkLogin",
       .closingLine = false});
  cases.push_back(
      {.name = "UserID -1",
       .body = AppForm(
           Request(R"("RID":"9","AuthUser":"ghost","AuthPass":"ghost","AuthComp":"Acme Builders",)"
                   R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("9", "Quarrow User not found, make sure credentials are correct"),
       .authLine = "AuthUser:ghost- ReqMethod:checkLogin",
       .closingLine = false});
  cases.push_back(
      {.name = "UserID 0",
       .body = AppForm(
           Request(R"("RID":"10","AuthUser":"admin","AuthPass":"admin","AuthComp":"Acme Builders",)"
                   R"("ReqMethod":")" +
                   whoAmI + R"(")")),
       .answer = RowsEnvelope("10", R"([{"name":"admin"}])"),
       .authLine = "AuthUser:admin- ReqMethod:" + whoAmI});
  cases.push_back(
      {.name = "NULL UseHasMobileAccess",
       .body = AppForm(
           Request(R"("RID":"11","AuthUser":"nobody","AuthPass":"x","AuthComp":"Acme Builders",)"
                   R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("11", "Quarrow User is NOT enabled for Mobile Access"),
       .authLine = "AuthUser:nobody- ReqMethod:checkLogin"});
  cases.push_back(
      {.name = "false UseHasMobileAccess",
       .body = AppForm(Request(
           R"("RID":"12","AuthUser":"mjones","AuthPass":"pass2","AuthComp":"Acme Builders",)"
           R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("12", "Quarrow User is NOT enabled for Mobile Access"),
       .authLine = "AuthUser:mjones- ReqMethod:checkLogin"});
  cases.push_back(
      {.name = "wrong password",
       .body = AppForm(Request(
           R"("RID":"13","AuthUser":"jsmith","AuthPass":"Secret","AuthComp":"Acme Builders",)"
           R"("ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("13", "Invalid Login !"),
       .authLine = "AuthUser:jsmith- ReqMethod:checkLogin"});
  cases.push_back({.name = "checkLogin with a live key and no credentials",
                   .body = AppForm(Request(R"("RID":"14","key":")" + liveKey +
                                           R"(","ReqMethod":"checkLogin")")),
                   .answer = KeyEnvelope("14", "{KEY}"),
                   .authLine = "AuthUser:- ReqMethod:checkLogin"});
  cases.push_back({.name = "procedure with a live key and no credentials",
                   .body = AppForm(Request(R"("RID":"15","key":")" + liveKey +
                                           R"(","ReqMethod":")" + listReports + R"(")")),
                   .answer = RowsEnvelope("15", kReportsOf42),
                   .authLine = "AuthUser:- ReqMethod:" + listReports});
  const std::string unknownKey = Request(R"("RID":"16","key":"ABCDEFGHIJKLMNOPQRSTABCDEFGHIJKL",)"
                                         R"("ReqMethod":")" +
                                         listReports + R"(")");
  cases.push_back({.name = "unknown key and no credentials",
                   .body = AppForm(unknownKey),
                   .answer = ErrorEnvelope("16", invalid(unknownKey)),
                   .authLine = "AuthUser:- ReqMethod:" + listReports});
  const std::string otherCase = Request(R"("RID":"17",)" + jsmith + R"(,"ReqMethod":"CheckLogin")");
  cases.push_back(
      {.name = "CheckLogin runs as a statement",
       .body = AppForm(otherCase),
       .answer = ErrorEnvelope(
           "17", "Error on executing procedure: {ERROR} : Initial request" + EchoedText(otherCase)),
       .authLine = "AuthUser:jsmith- ReqMethod:CheckLogin",
       .failedStatements = 1});
  const std::string twice =
      "SELECT UserName AS name, '_userID_' AS quoted, '_USERID_' AS other FROM users "
      "WHERE UserID = _userID_";
  cases.push_back(
      {.name = "_userID_ twice, once quoted",
       .body = AppForm(Request(R"("RID":"18",)" + jsmith + R"(,"ReqMethod":")" + twice + R"(")")),
       .answer = RowsEnvelope("18", R"([{"name":"jsmith","quoted":"42","other":"_USERID_"}])"),
       .authLine = "AuthUser:jsmith- ReqMethod:" + twice});
  // User "plus" (password "p+q", company 2) is added by the fixture.
  cases.push_back({.name = "plus sign in the company name and %2B in the password",
                   .body = AppForm(R"({"RID":"19","AuthUser":"plus","AuthComp":"Northwind)") + "+" +
                           AppForm(R"(Paving","AuthPass":"p+q","ReqMethod":")" + whoAmI + R"("})"),
                   .answer = RowsEnvelope("19", R"([{"name":"plus"}])"),
                   .authLine = "AuthUser:plus- ReqMethod:" + whoAmI});
  cases.push_back(
      {.name = "plus sign in the password",
       .body = raw(AppForm(
           Request(R"("RID":"20","AuthUser":"plus","AuthPass":"p+q","AuthComp":"Northwind Paving",)"
                   R"("ReqMethod":"checkLogin")"))),
       .answer = ErrorEnvelope("20", "Invalid Login !"),
       .authLine = "AuthUser:plus- ReqMethod:checkLogin"});
  // "&" cuts the body into entries that reach the request as lines: blanks to JSON.
  cases.push_back({.name = "body cut by &",
                   .body = AppForm(R"({"RID":"21",)" + jsmith + ",") + "&" +
                           AppForm(R"("ReqMethod":")" + listReports + R"("})"),
                   .answer = RowsEnvelope("21", kReportsOf42),
                   .authLine = "AuthUser:jsmith- ReqMethod:" + listReports});
  cases.push_back(
      {.name = "GET with the request in its query string",
       .method = "GET",
       .target = std::string(kClientRequestPath) + "?" +
                 AppForm(Request(R"("RID":"22",)" + jsmith + R"(,"ReqMethod":"checkLogin")")),
       .answer = ErrorEnvelope("", invalid(""))});
  // Ordinary JSON is cut at its quotes: every quoted stretch becomes an entry of its own
  // and the colons after the names are dropped.
  const std::string ordinary = Request(jsmith + R"(,"ReqMethod":"checkLogin")");
  cases.push_back({.name = "ordinary JSON with double quotes",
                   .body = ordinary,
                   .answer = ErrorEnvelope(
                       "", invalid("{'AuthUser'jsmith,'AuthPass'secret,'AuthComp'Acme Builders,"
                                   "'ReqMethod'checkLogin}"))});
  cases.push_back({.name = "app body sent as text/plain",
                   .contentType = "text/plain",
                   .body = AppForm(Request(R"("RID":"24",)" + jsmith + R"(,"ReqMethod":")" +
                                           listReports + R"(")")),
                   .answer = RowsEnvelope("24", kReportsOf42),
                   .authLine = "AuthUser:jsmith- ReqMethod:" + listReports});
  return cases;
}

std::string HttpRequestOf(const EdgeCase& c) {
  if (c.method == "GET") return HttpGet(c.target);
  return HttpPost(c.target, c.body, c.contentType);
}

// The log messages written since `from` lines.
std::vector<std::string> LinesSince(const E2eSite& site, size_t from) {
  std::vector<std::string> lines = site.LogMessages();
  lines.erase(lines.begin(),
              lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
  return lines;
}

size_t CountPrefix(const std::vector<std::string>& lines, std::string_view prefix) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.starts_with(prefix);
  return count;
}

// The expected envelope with its placeholders resolved against the answer and the log.
std::string Resolve(std::string expected, std::string_view body,
                    const std::vector<std::string>& lines, std::string& newKey) {
  if (const size_t at = expected.find("{ERROR}"); at != std::string::npos) {
    std::string message = "(no ReqResponse: line)";
    for (const std::string& line : lines) {
      if (line.starts_with("ReqResponse:")) message = line.substr(12);
    }
    expected.replace(at, 7, EchoedText(message));
  }
  if (const size_t at = expected.find("{KEY}"); at != std::string::npos) {
    const size_t bodyAt = kResponseBegin.size() + at;
    if (body.size() >= bodyAt + kKeyLength) newKey = std::string(body.substr(bodyAt, kKeyLength));
    expected.replace(at, 5, newKey);
  }
  return expected;
}

// The text of an error envelope's response, "" for any other envelope.
std::string ErrorTextOf(std::string_view envelope) {
  constexpr std::string_view head = R"({"error":"1","RID":")";
  constexpr std::string_view textStart = R"(","response":")";
  constexpr std::string_view tail = R"(","eofline":"eof"})";
  if (!envelope.starts_with(head) || !envelope.ends_with(tail)) return {};
  const size_t at = envelope.find(textStart);
  if (at == std::string_view::npos) return {};
  const size_t from = at + textStart.size();
  return std::string(envelope.substr(from, envelope.size() - tail.size() - from));
}

class ClientEdgeCases : public ClientRequestTest {};

TEST_P(ClientEdgeCases, AnswerAndLogOfEveryCase) {
  E2eSite site(Options());
  site.Exec(
      "INSERT INTO users (UserID, CompanyNumber, UserName, Password, UseHasMobileAccess, "
      "EmployeeNo) VALUES (46, 2, 'plus', 'p+q', TRUE, 2046)");
  const uint16_t port = site.Start().Port();
  const std::string liveKey = SignIn(port, "0");
  ASSERT_FALSE(liveKey.empty());

  for (const EdgeCase& c : EdgeCases(GetBuild(), liveKey)) {
    SCOPED_TRACE(c.name);
    const size_t before = site.LogMessages().size();
    const std::optional<HttpResponse> response = HttpExchange(port, HttpRequestOf(c));
    ASSERT_TRUE(response);
    const std::vector<std::string> lines = LinesSince(site, before);
    std::string newKey;
    const std::string envelope = Resolve(c.answer, response->body, lines, newKey);
    EXPECT_TRUE(IsAnswer(response, Framed(envelope)));
    if (c.answer.find("{KEY}") != std::string::npos) {
      EXPECT_TRUE(IsKeyText(newKey)) << newKey;
      EXPECT_NE(newKey, liveKey);
    }

    EXPECT_EQ(CountPrefix(lines, "Request dispatched to Client Request Action"), 1u);
    EXPECT_EQ(CountPrefix(lines, "Finish request on Client Request Action"), 1u);
    if (c.authLine.empty()) {
      EXPECT_EQ(CountPrefix(lines, "AuthUser:"), 0u);
    } else {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), c.authLine), 1) << c.authLine;
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Result processRequest: " + envelope),
              c.closingLine ? 1 : 0);
    EXPECT_EQ(CountPrefix(lines, "ExecuteQuery: "), static_cast<size_t>(c.failedStatements));
    EXPECT_EQ(CountPrefix(lines, "WebModuleException: "), 0u);
    // The answer's own error text is logged as a line of its own; no other "Error " line.
    const std::string errorText = ErrorTextOf(envelope);
    EXPECT_EQ(CountPrefix(lines, "Error "), errorText.starts_with("Error ") ? 1u : 0u);
    if (!errorText.empty()) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), errorText), 1) << errorText;
    }
    // The password never reaches the log.
    for (const std::string& line : lines) {
      if (line.starts_with("AuthUser:")) {
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
      }
    }
  }
  ExpectCleanStop(site);
}

// ---------------------------------------------------------------------------------------
// The database cannot be reached: the exception answer, and the request is not processed.

class ClientDatabaseUnreachable : public ClientRequestTest {};

TEST_P(ClientDatabaseUnreachable, AnswersTheErrorEnvelopeWithoutProcessingTheRequest) {
  E2eSite site(Options());
  site.MakeDatabaseUnreachable();
  const uint16_t port = site.Start().Port();
  const std::string body =
      AppForm(Request(R"("RID":"1",)" + std::string(kJsmith) + R"(,"ReqMethod":"checkLogin")"));
  // Twice: every request tries the connection again. The RID comes from the query string.
  for (std::string_view rid : {"", "5"}) {
    SCOPED_TRACE(rid);
    const std::string target =
        std::string(kClientRequestPath) + (rid.empty() ? "" : "?RID=" + std::string(rid));
    const size_t before = site.LogMessages().size();
    const auto response = HttpExchange(port, HttpPost(target, body));
    ASSERT_TRUE(response);
    const std::vector<std::string> lines = LinesSince(site, before);
    ASSERT_EQ(CountPrefix(lines, "WebModuleException: "), 1u);
    std::string message;
    for (const std::string& line : lines) {
      if (line.starts_with("WebModuleException: ")) message = line.substr(20);
    }
    EXPECT_FALSE(message.empty());
    EXPECT_TRUE(IsAnswer(response, Framed(ErrorEnvelope(rid, "Error: " + message))));
    EXPECT_EQ(CountPrefix(lines, "AuthUser:"), 0u);
    EXPECT_EQ(CountPrefix(lines, "Result processRequest: "), 0u);
    EXPECT_EQ(CountPrefix(lines, "Finish request on Client Request Action"), 0u);
  }
  ExpectCleanStop(site);
}

constexpr SiteCase kSiteCases[] = {
    {Driver::SQLite, Build::Az},
    {Driver::SQLite, Build::Standard},
    {Driver::PostgreSQL, Build::Az},
    {Driver::PostgreSQL, Build::Standard},
    {Driver::ODBC, Build::Az},
    {Driver::ODBC, Build::Standard},
};

INSTANTIATE_TEST_SUITE_P(ClientRequest, ClientSignIn, ::testing::ValuesIn(kSiteCases),
                         SiteCaseName);
INSTANTIATE_TEST_SUITE_P(ClientRequest, ClientEdgeCases, ::testing::ValuesIn(kSiteCases),
                         SiteCaseName);
INSTANTIATE_TEST_SUITE_P(ClientRequest, ClientDatabaseUnreachable, ::testing::ValuesIn(kSiteCases),
                         SiteCaseName);

}  // namespace
}  // namespace tallyhand::e2e
