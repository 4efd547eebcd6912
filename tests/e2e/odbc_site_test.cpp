// Sites on the ODBC driver over real HTTP, beyond the flows that every driver runs: ODBC
// definitions that cannot connect, and a site laid out by tallyhand-admin.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"
#include "platform/file_descriptor.h"

namespace tallyhand::e2e {
namespace {

using testsupport::HttpExchange;

constexpr std::string_view kSignIn =
    R"({"RID":"1","AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders",)"
    R"("ReqMethod":"checkLogin"})";

// A port that takes connections (the kernel completes them) but never answers.
class SilentListener {
 public:
  SilentListener() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_.Get() < 0 ||
        ::bind(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket_.Get(), 16) != 0 ||
        ::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on a free port");
    port_ = ntohs(address.sin_port);
  }
  std::string Port() const { return std::to_string(port_); }

 private:
  FileDescriptor socket_;
  uint16_t port_ = 0;
};

struct BadDefinition {
  const char* name;
  std::vector<std::pair<std::string, std::string>> changes;
  const char* mention;  // in the driver's message
};

class OdbcBadDefinition : public ::testing::TestWithParam<BadDefinition> {};

// Each request gets the exception answer with the driver's message, soon, and tries
// the connection again.
TEST_P(OdbcBadDefinition, AnswersTheDriversMessageAndTriesAgainOnTheNextRequest) {
  const SilentListener silent;
  std::vector<std::pair<std::string, std::string>> changes = GetParam().changes;
  for (auto& change : changes) {
    if (change.second == "{silent}") change.second = silent.Port();
  }
  E2eSite site({.driver = Driver::ODBC, .definitionChanges = changes});
  const uint16_t port = site.Start().Port();
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const size_t before = site.CountLogLines("WebModuleException: ");
    const auto started = std::chrono::steady_clock::now();
    const auto response = HttpExchange(port, HttpPost(kClientRequestPath, AppForm(kSignIn)));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(response);
    // LoginTimeout is 1 second (the driver waits at least 2): no worker is held for long.
    EXPECT_LT(took, std::chrono::seconds(20));
    ASSERT_EQ(site.CountLogLines("WebModuleException: "), before + 1);
    std::string message;
    for (const std::string& line : site.LogMessages()) {
      if (line.starts_with("WebModuleException: ")) message = line.substr(20);
    }
    EXPECT_NE(message.find(GetParam().mention), std::string::npos) << message;
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_TRUE(IsAnswer(response, Framed(ErrorEnvelope("", "Error: " + message))));
  }
  EXPECT_EQ(site.CountLogLines("AuthUser:"), 0u);
  ExpectCleanStop(site);
}

INSTANTIATE_TEST_SUITE_P(
    Odbc, OdbcBadDefinition,
    ::testing::Values(
        BadDefinition{"UnknownDriver", {{"ODBCDriver", "No Such Driver"}}, "No Such Driver"},
        BadDefinition{"WrongPassword",
                      {{"Password", ScrambleNVString("wrong", kScrambleStartKey)}},
                      "password authentication failed"},
        BadDefinition{"UnreachableServer",
                      {{"Port", "{silent}"}, {"LoginTimeout", "1"}},
                      "timeout expired"},
        BadDefinition{"NeitherDriverNorDataSource", {{"ODBCDriver", ""}}, "names no driver"}),
    [](const auto& info) { return std::string(info.param.name); });

// A site that tallyhand-admin lays out for the ODBC driver serves the app.
TEST(OdbcSiteLayout, AdminWrittenDefinitionServesSignInAndProcedures) {
  E2eSite site({.driver = Driver::ODBC});
  const testing_pg::SuiteDatabase& database = *site.PostgresDatabase();
  const testing_pg::ServerSettings& server = database.Settings();
  const std::string command =
      "'" + testsupport::BuiltFile("tallyhand-admin") + "' init-site '" + site.Folder() +
      "' --force --module '" + testsupport::BuiltFile(site.ModuleFileName()) +
      "' --driver odbc --odbc-driver '" + testing_odbc::kPostgresDriver + "' --server " +
      server.host + " --port " + server.port + " --database " + database.Name() + " --user " +
      server.user + " --password " + server.password + " --procedure-call Escape >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const uint16_t port = site.Start().Port();

  const auto signedIn = HttpExchange(port, HttpPost(kClientRequestPath, AppForm(kSignIn)));
  ASSERT_TRUE(signedIn);
  const std::optional<std::string> key = KeyAnswered(signedIn->body, "1");
  ASSERT_TRUE(key) << signedIn->body;
  const std::string companies = R"({"RID":"2","key":")" + *key +
                                R"json(","ReqMethod":"EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup()"})json";
  EXPECT_TRUE(IsAnswer(
      HttpExchange(port, HttpPost(kClientRequestPath, AppForm(companies))),
      Framed(RowsEnvelope(
          "2", R"([{"CompanyNumber":"1","CompanyName":"Acme Builders"},)"
               R"({"CompanyNumber":"2","CompanyName":"Northwind Paving"},)"
               R"({"CompanyNumber":"3","CompanyName":"Acme Builders"},)"
               R"({"CompanyNumber":"4","CompanyName":"Blue Ridge Electric"}])"))));
  ExpectCleanStop(site);
}

}  // namespace
}  // namespace tallyhand::e2e
