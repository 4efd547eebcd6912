// What an operator sees of a real site: after a fixed mix of requests the scrape holds
// exactly what was sent, promtool accepts it, the access log has a combined line per
// answer, and /readyz follows the database going away and coming back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "data/postgres_test_server.h"
#include "e2e/client_exchange.h"
#include "e2e/upload_fixture.h"
#include "support/jpeg_samples.h"
#include "support/metrics_scrape.h"

namespace tallyhand::e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::AdminGet;
using testsupport::AdminPort;
using testsupport::HttpExchange;
using testsupport::SampleOrZero;
using testsupport::SampleValue;
using testsupport::Scrape;

std::string Counter(std::string_view action, std::string_view code) {
  return R"(tallyhand_http_requests_total{action=")" + std::string(action) + R"(",code=")" +
         std::string(code) + R"("})";
}

std::string SignInForm(std::string_view rid) {
  return AppForm(R"({"RID":")" + std::string(rid) +
                 R"(","AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders","ReqMethod":"checkLogin"})");
}

TEST(OperatingFigures, AScrapeHoldsWhatWasSent) {
  UploadSite site({.build = Build::Az, .driver = Driver::SQLite});
  const std::string accessLog = site.Site().Root() + "access.log";
  auto& server = site.Site().Start({"--admin-listen", "127.0.0.1:0", "--access-log", accessLog,
                                    "--max-body", "200000"},
                                   {}, site.Site().Root() + "tallyhand-server");
  const uint16_t port = server.Port();
  const uint16_t admin = AdminPort(server);
  ASSERT_NE(admin, 0) << server.StdoutText();

  for (int i = 0; i < 2; ++i) EXPECT_EQ(HttpExchange(port, HttpGet("/test.app"))->status, 200);
  std::string key;
  for (const char* rid : {"1", "2"}) {
    auto signedIn = HttpExchange(port, HttpPost(kClientRequestPath, SignInForm(rid)));
    ASSERT_TRUE(signedIn);
    std::optional<std::string> answered = KeyAnswered(signedIn->body, rid);
    ASSERT_TRUE(answered) << signedIn->body;
    key = *answered;
  }
  constexpr int kKeyedCalls = 3;
  for (int i = 0; i < kKeyedCalls; ++i) {
    const std::string json = R"({"RID":"k","key":")" + key +
                             R"j(","ReqMethod":"EXECUTE PROCEDURE nvm_Job_List('_userID_')"})j";
    auto call = HttpExchange(port, HttpPost(kClientRequestPath, AppForm(json)));
    ASSERT_TRUE(call);
    EXPECT_NE(call->body.find(R"("error":"0")"), std::string::npos) << call->body;
  }
  uint64_t uploadedBytes = 0;
  for (int i = 0; i < 2; ++i) {
    const std::string jpeg = tallyhand::testing::MakeJpeg(tallyhand::testing::JpegKind::Baseline, 20 + i, 12);
    uploadedBytes += jpeg.size();
    auto upload = HttpExchange(port, UploadRequest(ClockInQuery(std::to_string(10 + i)),
                                                   {JpegPart("IMG_" + std::to_string(i) + ".jpg", jpeg)}));
    ASSERT_TRUE(upload);
    EXPECT_NE(upload->body.find(R"("error":"0")"), std::string::npos) << upload->body;
  }
  // No action serves this path: the connection closes unanswered.
  EXPECT_FALSE(HttpExchange(port, HttpGet("/nothing.app"), 5s));
  EXPECT_EQ(HttpExchange(port, HttpPost(kClientRequestPath, std::string(300000, 'x')))->status, 413);

  const std::string page = Scrape(admin);
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(SampleValue(page, Counter("test", "200")), 2) << page;
  EXPECT_EQ(SampleValue(page, Counter("client_request", "200")), 2 + kKeyedCalls) << page;
  EXPECT_EQ(SampleValue(page, Counter("upload", "200")), 2) << page;
  EXPECT_EQ(SampleValue(page, Counter("none", "444")), 1) << page;
  EXPECT_EQ(SampleValue(page, Counter("client_request", "413")), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_request_duration_seconds_count{action="upload"})"), 2);
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_request_duration_seconds_count{action="client_request"})"),
            3 + kKeyedCalls);
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_rejected_total{reason="body_too_large"})"), 1);
  EXPECT_EQ(SampleValue(page, "tallyhand_uploads_stored_total"), 2) << page;
  EXPECT_EQ(SampleValue(page, "tallyhand_upload_bytes_total"), static_cast<double>(uploadedBytes));
  const double keys = SampleOrZero(page, "tallyhand_session_keys_live");
  EXPECT_GE(keys, 1) << page;
  EXPECT_LE(keys, 2) << page;
  EXPECT_EQ(SampleValue(page, "tallyhand_workers_busy"), 0);
  EXPECT_EQ(SampleValue(page, "tallyhand_worker_queue_depth"), 0);
  EXPECT_EQ(SampleValue(page, R"(tallyhand_db_connections{state="busy"})"), 0);
  EXPECT_GE(SampleOrZero(page, R"(tallyhand_db_connections{state="idle"})"), 1);
  EXPECT_EQ(SampleValue(page, "tallyhand_db_statement_errors_total"), 0);
  // Each sign-in, keyed call and upload runs at least one statement.
  EXPECT_GE(SampleOrZero(page, "tallyhand_db_statement_duration_seconds_count"), 2 + kKeyedCalls + 2);
  EXPECT_EQ(SampleValue(page, "tallyhand_db_reconnects_total"), 0);
  EXPECT_EQ(SampleValue(page, "tallyhand_event_log_write_errors_total"), 0);
  EXPECT_EQ(testsupport::PromtoolProblems(page), "");

  ExpectCleanStop(server);
  std::ifstream log(accessLog);
  std::string line;
  size_t lines = 0;
  while (std::getline(log, line)) {
    ++lines;
    EXPECT_NE(line.find("\"-\" \"-\" "), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 2u + 2 + kKeyedCalls + 2 + 1 + 1);
}

// Polls /readyz until it answers want (or the time runs out); each answer must come
// within the cache interval plus the database's connect timeout.
bool ReadyzTurns(uint16_t admin, int want, std::chrono::seconds within) {
  constexpr auto kLongestAnswer = 1s + 5s + 2s;  // cache, connect timeout, slack
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto asked = std::chrono::steady_clock::now();
    auto response = AdminGet(admin, "/readyz", 20s);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, kLongestAnswer);
    if (response && response->status == want) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

TEST(OperatingFigures, ReadyzFollowsASqliteFileMovedAwayAndBack) {
  E2eSite site({.build = Build::Standard, .driver = Driver::SQLite});
  auto& server = site.Start({"--admin-listen", "127.0.0.1:0"});
  const uint16_t admin = AdminPort(server);
  ASSERT_NE(admin, 0);
  EXPECT_TRUE(ReadyzTurns(admin, 200, 10s));
  const std::string db = site.Folder() + "tallyhand.db";
  std::filesystem::rename(db, db + ".away");
  EXPECT_TRUE(ReadyzTurns(admin, 503, 15s));
  // The clients see the same: the test page fails while the file is away.
  EXPECT_NE(HttpExchange(server.Port(), HttpGet("/test.app"))->body.find("Error"), std::string::npos);
  std::filesystem::rename(db + ".away", db);
  EXPECT_TRUE(ReadyzTurns(admin, 200, 15s));
  EXPECT_EQ(HttpExchange(server.Port(), HttpGet("/test.app"))->status, 200);
  const std::string page = Scrape(admin);
  EXPECT_GE(SampleOrZero(page, "tallyhand_db_reconnects_total"), 1) << page;
  ExpectCleanStop(server);
}

TEST(OperatingFigures, ReadyzFollowsPostgresStoppedAndStartedAgain) {
  E2eSite site({.build = Build::Az, .driver = Driver::PostgreSQL, .restartsDatabaseServer = true});
  const testing_pg::ServerSettings& pg = site.PostgresDatabase()->Settings();
  ASSERT_FALSE(pg.ctl.empty() || pg.dataDir.empty() || pg.logFile.empty())
      << "TALLYHAND_PG_CTL, TALLYHAND_PG_DATA and TALLYHAND_PG_LOG must be set";
  auto& server = site.Start({"--admin-listen", "127.0.0.1:0"});
  const uint16_t admin = AdminPort(server);
  ASSERT_NE(admin, 0);
  EXPECT_TRUE(ReadyzTurns(admin, 200, 10s));
  ASSERT_EQ(testing_pg::RunPgCtl(pg, "-m fast -w -t 60 stop"), 0);
  const bool notReady = ReadyzTurns(admin, 503, 15s);
  const int started = testing_pg::RunPgCtl(pg, "-w -t 60 -l '" + pg.logFile + "' start");
  ASSERT_EQ(started, 0);
  EXPECT_TRUE(notReady);
  EXPECT_TRUE(ReadyzTurns(admin, 200, 15s));
  EXPECT_EQ(HttpExchange(server.Port(), HttpGet("/test.app"))->status, 200);
  ExpectCleanStop(server);
}

}  // namespace
}  // namespace tallyhand::e2e
