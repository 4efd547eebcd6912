// Servers of one site sharing their session keys in the Redis server that the test
// command starts: a key issued by one server works on the others and after a restart,
// for fifteen minutes of a moved clock; a Redis server that is stopped or hangs gives
// error answers within the connect timeout, and once it is back the next request works.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"
#include "e2e/moved_clock.h"
#include "e2e/upload_fixture.h"
#include "support/jpeg_samples.h"
#include "support/redis_test_server.h"

namespace tallyhand::e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::HttpExchange;
using testsupport::RedisTestServer;
using testsupport::ServerProcess;

constexpr std::string_view kJsmith =
    R"("AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders")";
constexpr std::string_view kWhoAmI = "SELECT UserName AS name FROM users WHERE UserID = _userID_";
constexpr std::string_view kJsmithRow = R"([{"name":"jsmith"}])";
constexpr std::string_view kStoreDown = "Session key store (Redis) unreachable: ";

class SharedKeys : public ::testing::Test {
 protected:
  // exclusive: the test stops the Redis server.
  void StartRedis(bool exclusive) {
    std::string why;
    const auto settings = testsupport::ReadRedisSettings(why);
    ASSERT_TRUE(settings) << why;
    redis_ = std::make_unique<RedisTestServer>(*settings, exclusive);
  }

  SiteOptions RedisSite(Driver driver = Driver::SQLite) const {
    const auto& s = redis_->Settings();
    return {.driver = driver,
            .dataIniLines = {"[SessionKeys]", "Store=Redis", "Server=" + s.host, "Port=" + s.port,
                             "Password=" + ScrambleNVString(s.password, kScrambleStartKey),
                             "ConnectTimeout=1"}};
  }

  // A server of the site on a port of its own, from the site's copy of the host (whose
  // pictures folder is the site's), with the site's moved clock.
  static std::unique_ptr<ServerProcess> Launch(E2eSite& site) {
    const std::string executable = site.Root() + "tallyhand-server";
    if (!std::filesystem::exists(executable)) {
      std::filesystem::copy_file(testsupport::ServerExecutablePath(), executable);
    }
    testsupport::ServerLaunch launch;
    launch.executable = executable;
    launch.args = {"--module", site.Folder() + site.ModuleFileName(), "--port", "0", "--listen", "127.0.0.1"};
    launch.extraEnv = FaketimeEnvironment(ClockFile(site));
    auto server = std::make_unique<ServerProcess>(launch);
    EXPECT_TRUE(server->WaitUntilListening()) << server->StderrText();
    return server;
  }
  static std::string ClockFile(const E2eSite& site) { return site.Root() + "faketime"; }

  static std::optional<testsupport::HttpResponse> Ask(uint16_t port, std::string_view json) {
    return HttpExchange(port, HttpPost(kClientRequestPath, AppForm(json)));
  }
  static std::string SignIn(uint16_t port, std::string_view rid) {
    const auto response =
        Ask(port, "{" + std::string(kJsmith) + R"(,"RID":")" + std::string(rid) + R"(","ReqMethod":"checkLogin"})");
    if (!response) return {};
    return KeyAnswered(response->body, rid).value_or("");
  }
  // The key alone, without credentials.
  static std::optional<testsupport::HttpResponse> Call(uint16_t port, std::string_view key, std::string_view rid) {
    return Ask(port, R"({"RID":")" + std::string(rid) + R"(","key":")" + std::string(key) +
                         R"(","ReqMethod":")" + std::string(kWhoAmI) + R"("})");
  }
  static ::testing::AssertionResult Serves(uint16_t port, std::string_view key, std::string_view rid) {
    return IsAnswer(Call(port, key, rid), Framed(RowsEnvelope(rid, kJsmithRow)));
  }
  static ::testing::AssertionResult Unknown(uint16_t port, std::string_view key, std::string_view rid) {
    const std::string request = R"({"RID":")" + std::string(rid) + R"(","key":")" + std::string(key) +
                                R"(","ReqMethod":")" + std::string(kWhoAmI) + R"("})";
    return IsAnswer(Ask(port, request), Framed(ErrorEnvelope(rid, "Invalid request!" + EchoedText(request))));
  }
  static std::string Upload(uint16_t port, std::string_view key, std::string_view rid) {
    Query query = ClockInQuery(std::string(rid));
    for (const char* credential : {"AuthUser", "AuthPass", "AuthComp"}) query = With(query, credential, std::nullopt);
    query = With(query, "key", std::string(key));
    const auto response = HttpExchange(
        port, UploadRequest(query, {JpegPart("shared-" + std::string(rid) + ".jpg",
                                             testing::MakeJpeg(testing::JpegKind::Baseline))}));
    return response ? response->body : "no answer";
  }

  std::unique_ptr<RedisTestServer> redis_;
};

TEST_F(SharedKeys, KeyWorksOnEveryServerAndAfterARestartUntilFifteenMinutes) {
  ASSERT_TRUE(std::filesystem::exists(kFaketimeLibrary)) << "libfaketime is needed (scripts/install-deps.sh)";
  StartRedis(false);
  E2eSite site(RedisSite());
  MoveClock(ClockFile(site), "+0");
  auto first = Launch(site);
  auto second = Launch(site);

  const std::string key = SignIn(first->Port(), "1");
  ASSERT_EQ(key.size(), kKeyLength);
  EXPECT_TRUE(Serves(second->Port(), key, "2"));
  const std::string uploaded = Upload(second->Port(), key, "3");
  EXPECT_NE(uploaded.find(R"({"error":"0","RID":"3","response":[{"ResultStatus":"0")"), std::string::npos) << uploaded;
  EXPECT_EQ(site.Scalar("SELECT COUNT(*) FROM employee_pictures WHERE FileName LIKE '%shared-3.jpg'"), "1");

  EXPECT_EQ(first->Stop(), 0) << first->StderrText();
  first = Launch(site);
  EXPECT_TRUE(Serves(first->Port(), key, "4"));

  std::string lower = key;
  for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
  EXPECT_TRUE(Unknown(first->Port(), lower, "5"));
  EXPECT_TRUE(Unknown(second->Port(), key.substr(0, 31), "6"));
  EXPECT_TRUE(Unknown(second->Port(), key + "A", "7"));

  MoveClock(ClockFile(site), "+14m");
  EXPECT_TRUE(Serves(first->Port(), key, "8"));
  EXPECT_TRUE(Serves(second->Port(), key, "9"));
  MoveClock(ClockFile(site), "+16m");
  EXPECT_TRUE(Unknown(first->Port(), key, "10"));
  EXPECT_TRUE(Unknown(second->Port(), key, "11"));

  ExpectCleanStop(*first);
  ExpectCleanStop(*second);
}

// Redis stopped, then hanging: sign-in, keyed calls and keyed uploads answer errors
// naming the store, each within the connect timeout; once Redis answers again the next
// request works, and keys it kept through its stop are found again.
TEST_F(SharedKeys, StoreDownOrHangingGivesErrorsAndTheNextRequestRecovers) {
  StartRedis(true);
  E2eSite site(RedisSite());
  MoveClock(ClockFile(site), "+0");
  auto server = Launch(site);
  const uint16_t port = server->Port();
  const std::string keptKey = SignIn(port, "1");
  const std::string hungKey = SignIn(port, "2");
  ASSERT_EQ(keptKey.size(), kKeyLength);
  ASSERT_EQ(hungKey.size(), kKeyLength);

  const auto within = [](auto&& request, std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    auto result = request();
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
    return result;
  };
  const std::string refused = std::string(kStoreDown) + "Connection refused";
  redis_->Halt();
  EXPECT_TRUE(IsAnswer(within([&] { return Ask(port, "{" + std::string(kJsmith) + R"(,"RID":"3","ReqMethod":"checkLogin"})"); }, 1500ms),
                       Framed(ErrorEnvelope("3", "No session key could be issued. " + refused))));
  EXPECT_TRUE(IsAnswer(within([&] { return Call(port, keptKey, "4"); }, 1500ms), Framed(ErrorEnvelope("4", refused))));
  EXPECT_EQ(Upload(port, keptKey, "5"), Framed(ErrorEnvelope("5", refused)));
  EXPECT_EQ(site.Scalar("SELECT COUNT(*) FROM employee_pictures WHERE FileName LIKE '%shared-5.jpg'"), "0");

  redis_->Resume();
  EXPECT_TRUE(Serves(port, keptKey, "6"));
  EXPECT_EQ(SignIn(port, "7").size(), kKeyLength);

  redis_->Pause();
  const bool silent = IsAnswer(within([&] { return Call(port, hungKey, "8"); }, 2500ms),
                               Framed(ErrorEnvelope("8", std::string(kStoreDown) + "no answer within 1 s")));
  redis_->Continue();
  EXPECT_TRUE(silent);
  EXPECT_TRUE(Serves(port, hungKey, "9"));
  ExpectCleanStop(*server);
}

// A [SessionKeys] section the server cannot use stops the start with the reason.
TEST_F(SharedKeys, UnusableSettingsStopTheStart) {
  E2eSite site({.dataIniLines = {"[SessionKeys]", "Store=Redis", "Port=6379"}});
  testsupport::ServerLaunch launch;
  launch.args = {"--module", site.Folder() + site.ModuleFileName(), "--port", "0", "--listen", "127.0.0.1"};
  ServerProcess server(launch);
  EXPECT_EQ(server.WaitForExit(20s), 1);
  EXPECT_NE(server.StderrText().find("Error configuring the session key store: [SessionKeys] Server=: "
                                     "the Redis store needs the server's name or address"),
            std::string::npos)
      << server.StderrText();
}

}  // namespace
}  // namespace tallyhand::e2e
