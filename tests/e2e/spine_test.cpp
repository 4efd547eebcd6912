// The extension's spine over real HTTP: dispatch, the test page of both builds, the
// web module and data module life cycle, the event log, the exception answer and the
// host layer's error page.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/e2e_site.h"

namespace tallyhand::e2e {
namespace {

using testsupport::HttpConnection;
using testsupport::HttpExchange;
using namespace std::chrono_literals;

constexpr std::string_view kAzPage =
    "<html><head><title>Tallyhand Application Server</title></head><body>Tallyhand Application "
    "Test page - <b>Powered by Quarrow</b></body></html>";
constexpr std::string_view kStandardPage =
    "<html><head><title>Tallyhand Application</title></head><body>Tallyhand Application Test "
    "page</body></html>";

std::string Get(std::string_view target) {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

std::string Post(std::string_view target, std::string_view body) {
  return "POST " + std::string(target) +
         " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string ExpectedPageResponse(std::string_view page) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\n\r\n" + std::string(page);
}

// A request the server must leave unanswered: the connection closes without a byte.
void ExpectNoAnswer(uint16_t port, std::string_view target) {
  HttpConnection connection(port);
  ASSERT_TRUE(connection.Send(Get(target)));
  EXPECT_TRUE(connection.ClosedByPeer(10s)) << target;
  EXPECT_EQ(connection.ReceivedBytes(), "") << target;
}

struct BuildCase {
  Build build;
  std::string_view page;
};

class TestPage : public ::testing::TestWithParam<BuildCase> {};

TEST_P(TestPage, AnswersEveryLetterCaseAndIgnoresTheQueryString) {
  E2eSite site({.build = GetParam().build});
  const uint16_t port = site.Start().Port();
  for (std::string_view target : {"/test.app", "/TEST.APP", "/Test.App", "/test.app?x=1"}) {
    const auto response = HttpExchange(port, Get(target));
    ASSERT_TRUE(response) << target;
    EXPECT_EQ(response->raw, ExpectedPageResponse(GetParam().page)) << target;
  }
}

TEST_P(TestPage, PathsThatNameNoActionGetNoAnswerAndLogNothing) {
  E2eSite site({.build = GetParam().build});
  const uint16_t port = site.Start().Port();
  ASSERT_TRUE(HttpExchange(port, Get("/test.app")));
  const size_t linesBefore = site.LogMessages().size();
  for (std::string_view target : {"/test.app/", "/test", "/", "/tcclientRequest", "/x/test.app"}) {
    ExpectNoAnswer(port, target);
  }
  EXPECT_EQ(site.LogMessages().size(), linesBefore);
}

INSTANTIATE_TEST_SUITE_P(Builds, TestPage,
                         ::testing::Values(BuildCase{Build::Az, kAzPage},
                                           BuildCase{Build::Standard, kStandardPage}),
                         [](const auto& info) {
                           return info.param.build == Build::Az ? "Az" : "Standard";
                         });

TEST(WebModules, RequestsServedTogetherMakeTwoModulesButOneDataModule) {
  E2eSite site;
  // A log longer than the 5000 lines that unloading trims it to.
  {
    std::ofstream log(site.Folder() + site.LogFileName(), std::ios::binary);
    for (int i = 0; i < 5003; ++i) log << "01/01/2020 00:00:00\told line " << i << "\r\n";
  }
  const uint16_t port = site.Start().Port();

  // Hold the database's write lock so that both writes wait inside the server, each on
  // a web module of its own.
  sqlite3* blocker = nullptr;
  ASSERT_EQ(sqlite3_open((site.Folder() + "tallyhand.db").c_str(), &blocker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string body = PercentEncode(
      "{`AuthUser`:`jsmith`,`AuthPass`:`secret`,`AuthComp`:`Acme Builders`,"
      "`ReqMethod`:`EXECUTE PROCEDURE nvm_Answer_Write(_userID_,1,'yes');`}");
  HttpConnection first(port), second(port);
  ASSERT_TRUE(first.Send(Post("/tcclientRequest.app", body)));
  ASSERT_TRUE(second.Send(Post("/tcclientRequest.app", body)));
  for (int i = 0; i < 400 && site.CountLogLines("Finish Web Module Create") < 2; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(blocker);
  for (HttpConnection* connection : {&first, &second}) {
    const auto response = connection->ReadResponse(20s);
    ASSERT_TRUE(response);
    EXPECT_NE(response->body.find(R"({"error":"0")"), std::string::npos) << response->body;
  }

  EXPECT_EQ(site.CountLogLines("Web Module Create"), 2u);
  EXPECT_EQ(site.CountLogLines("DATA Module Create"), 2u);
  EXPECT_EQ(site.CountLogLines("Error creating DataModule DMMain: "), 0u);

  EXPECT_EQ(site.Stop(), 0);
  const std::vector<std::string> lines = site.LogMessages();
  EXPECT_EQ(lines.size(), 5000u);
  EXPECT_EQ(site.CountLogLines("Web Module Destroy"), 2u);
  EXPECT_EQ(site.CountLogLines("Destroying "), 1u);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Web Module Destroy");
}

TEST(UnreachableDatabase, SQLiteFileIsAnsweredWithTheErrorEnvelopeUntilItAppears) {
  E2eSite site({.createDatabase = false});
  const uint16_t port = site.Start().Port();
  const auto response = HttpExchange(port, Get("/test.app?RID=12"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->Header("Content-Type"), "text/html");
  const std::string& body = response->body;
  const std::string begin = "-------begin of response message----------";
  const std::string end = "-------endof response message----------";
  ASSERT_EQ(body.rfind(begin + R"({"error":"1","RID":"12","response":"Error: )", 0), 0u) << body;
  const std::string tail = std::string(R"(","eofline":"eof"})") + end;
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << body;
  EXPECT_EQ(body.find(begin, 1), std::string::npos);
  EXPECT_EQ(site.CountLogLines("Error creating DataModule DMMain: "), 1u);
  EXPECT_EQ(site.CountLogLines("WebModuleException: "), 1u);

  site.CreateDatabase();
  const auto recovered = HttpExchange(port, Get("/test.app"));
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->raw, ExpectedPageResponse(kAzPage));
}

class UnreachableServerDatabase : public ::testing::TestWithParam<Driver> {};

TEST_P(UnreachableServerDatabase, ServerThatDoesNotKnowTheDatabaseYet) {
  E2eSite site({.driver = GetParam()});
  std::string ini;
  {
    std::ifstream in(site.Folder() + "data.ini", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    ini = text.str();
  }
  const auto at = ini.find("Database=");
  ASSERT_NE(at, std::string::npos);
  const auto lineEnd = ini.find("\r\n", at);
  const std::string realName = ini.substr(at + 9, lineEnd - at - 9);
  const std::string laterName = realName + "_later";
  ini.replace(at + 9, lineEnd - at - 9, laterName);
  std::ofstream(site.Folder() + "data.ini", std::ios::binary) << ini;

  const uint16_t port = site.Start().Port();
  const auto failed = HttpExchange(port, Get("/test.app"));
  ASSERT_TRUE(failed);
  EXPECT_NE(failed->body.find(R"({"error":"1","RID":"","response":"Error: )"), std::string::npos)
      << failed->body;
  EXPECT_EQ(site.CountLogLines("Error creating DataModule DMMain: "), 1u);

  site.Exec("CREATE DATABASE \"" + laterName + "\"");
  const auto recovered = HttpExchange(port, Get("/test.app"));
  site.Stop();
  site.Exec("DROP DATABASE IF EXISTS \"" + laterName + "\"");
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->raw, ExpectedPageResponse(kAzPage));
}

INSTANTIATE_TEST_SUITE_P(UnreachableDatabase, UnreachableServerDatabase,
                         ::testing::Values(Driver::PostgreSQL, Driver::ODBC),
                         [](const auto& info) { return std::string(DriverName(info.param)); });

TEST(ExceptionAnswer, MalformedEscapeInTheRidGivesTheHostErrorPage) {
  E2eSite site({.createDatabase = false});
  const uint16_t port = site.Start().Port();
  const auto response = HttpExchange(port, Get("/test.app?RID=%G1"));
  ASSERT_TRUE(response);
  const std::string message = "Invalid URL encoded character (%G1) at position 5";
  EXPECT_EQ(response->statusLine, "HTTP/1.1 500 " + message);
  EXPECT_EQ(response->body,
            "<html><title>Internal Server Error 500</title>\r\n"
            "<h1>Internal Server Error 500</h1><hr>\r\n"
            "Exception: EUrlDecodeError<br>\r\n"
            "Message: " + message + "<br></html>\r\n");
}

TEST(ExceptionAnswer, FailedClientRequestCarriesNoRidAndOneFrame) {
  E2eSite site({.createDatabase = false});
  const uint16_t port = site.Start().Port();
  const auto response = HttpExchange(
      port, Post("/tcclientRequest.app?x=1", PercentEncode("{`RID`:`12`,`ReqMethod`:`checkLogin`}")));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  const std::string& body = response->body;
  EXPECT_EQ(body.rfind(R"(-------begin of response message----------{"error":"1","RID":"",)"
                       R"("response":"Error: )", 0), 0u) << body;
  EXPECT_EQ(body.find("-------begin", 1), std::string::npos);
  EXPECT_EQ(body.find("\"key\""), std::string::npos);
}

TEST(DirectPath, HostNamedHttpdExeServesOnItsOwnThread) {
  E2eSite site;
  const std::string copy = site.Root() + "httpd.exe";
  std::filesystem::copy_file(testsupport::ServerExecutablePath(), copy);
  const uint16_t port = site.Start({}, {}, copy).Port();
  for (int i = 0; i < 3; ++i) {
    const auto response = HttpExchange(port, Get("/test.app"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw, ExpectedPageResponse(kAzPage));
  }
  ExpectNoAnswer(port, "/nothing.app");
  EXPECT_EQ(site.Stop(), 0);
}

TEST(Load, MissingDataIniStopsTheServerFromStarting) {
  E2eSite site;
  std::filesystem::remove(site.Folder() + "data.ini");
  testsupport::ServerLaunch launch;
  launch.args = {"--module", site.Folder() + site.ModuleFileName(), "--port", "0"};
  testsupport::ServerProcess server(launch);
  const std::optional<int> code = server.WaitForExit(20s);
  ASSERT_TRUE(code);
  EXPECT_NE(*code, 0);
  EXPECT_NE(server.StderrText().find("data.ini"), std::string::npos) << server.StderrText();
}

}  // namespace
}  // namespace tallyhand::e2e
