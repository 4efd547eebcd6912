// The admin listener with a module that has no figures export (the minimal extension):
// the probes, the host's own figures counted exactly, the families only a module could
// give left out, and the access log in the combined format with its reopen on SIGUSR1.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "minimal_server.h"
#include "support/metrics_scrape.h"

namespace tallyhand::testsupport {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/tallyhand-admin-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<std::string> Lines(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

// The combined log format, then the duration in microseconds.
const std::regex kCombinedLine(
    R"re(^(\S+) - - \[(\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} [+-]\d{4})\] "([^"\\]*(?:\\.[^"\\]*)*)" (\d{3}) (\d+|-) "([^"\\]*(?:\\.[^"\\]*)*)" "([^"\\]*(?:\\.[^"\\]*)*)" (\d+)$)re");

TEST(AdminListener, IsOffUnlessAsked) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  EXPECT_FALSE(server.process.WaitForLine(kAdminLine, 500ms));
  EXPECT_TRUE(HttpExchange(server.Port(), Get("/test.app")));
}

TEST(AdminListener, RefusesAnAddressItCannotUse) {
  for (const char* value : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:70000", ":80", "nowhere:0"}) {
    SCOPED_TRACE(value);
    ServerProcess process(MinimalLaunch({"--admin-listen", value}));
    EXPECT_FALSE(process.WaitUntilListening(10s));
    EXPECT_NE(process.WaitForExit(10s).value_or(0), 0);
    EXPECT_NE(process.StderrText().find("admin"), std::string::npos) << process.StderrText();
  }
}

// A module without the export loads and serves; every request counts under "none".
TEST(AdminListener, CountsWhatWasSentWithoutTheModulesFigures) {
  MinimalServer server({"--admin-listen", "127.0.0.1:0", "--max-body", "1000"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  const uint16_t admin = AdminPort(server.process);
  ASSERT_NE(admin, 0) << server.process.StdoutText();

  for (int i = 0; i < 3; ++i) EXPECT_EQ(HttpExchange(server.Port(), Get("/test.app"))->status, 200);
  EXPECT_EQ(HttpExchange(server.Port(), Post("/echo", std::string(2000, 'x')))->status, 413);
  // Answered by nobody: the connection closes without a byte.
  EXPECT_FALSE(HttpExchange(server.Port(), Get("/silent"), 5s));
  EXPECT_EQ(HttpExchange(server.Port(), std::string(20000, 'G'))->status, 431);

  const std::string page = Scrape(admin);
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_requests_total{action="none",code="200"})"), 3) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_requests_total{action="none",code="413"})"), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_requests_total{action="none",code="444"})"), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_requests_total{action="none",code="431"})"), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_request_duration_seconds_count{action="none"})"), 6) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_rejected_total{reason="body_too_large"})"), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_rejected_total{reason="header_too_large"})"), 1) << page;
  EXPECT_EQ(SampleValue(page, R"(tallyhand_http_rejected_total{reason="timeout"})"), 0) << page;
  EXPECT_GT(SampleOrZero(page, "process_resident_memory_bytes"), 0) << page;
  EXPECT_GT(SampleOrZero(page, "process_open_fds"), 2) << page;
  EXPECT_GT(SampleOrZero(page, "process_start_time_seconds"), 1.6e9) << page;
  EXPECT_TRUE(SampleValue(page, "process_cpu_seconds_total")) << page;
  EXPECT_TRUE(SampleValue(page, "tallyhand_http_connections_open")) << page;
  for (const char* onlyTheModuleKnows :
       {"tallyhand_session_keys_live", "tallyhand_db_connections", "tallyhand_workers_busy",
        "tallyhand_uploads_stored_total", "tallyhand_db_statement_duration_seconds"}) {
    EXPECT_EQ(page.find(onlyTheModuleKnows), std::string::npos) << onlyTheModuleKnows;
  }
  EXPECT_EQ(PromtoolProblems(page), "");
}

TEST(AdminListener, AnswersItsThreePathsAndNothingElse) {
  MinimalServer server({"--admin-listen", "127.0.0.1:0"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  const uint16_t admin = AdminPort(server.process);
  ASSERT_NE(admin, 0);
  struct Case {
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"GET /healthz HTTP/1.1\r\nHost: a\r\n\r\n", 200},
      // No figures export: ready while serving.
      {"GET /readyz HTTP/1.1\r\nHost: a\r\n\r\n", 200},
      {"GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", 200},
      {"HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n", 200},
      {"GET /test.app HTTP/1.1\r\nHost: a\r\n\r\n", 404},
      {"POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", 405},
      {"GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"NOT HTTP\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    HttpConnection connection(admin);
    ASSERT_TRUE(connection.Send(c.request));
    auto response = c.request.starts_with("HEAD") ? connection.ReadResponse(5s, /*head=*/true)
                                                  : connection.ReadResponse(5s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
  }
  // A scraper keeps its connection: several answers on one.
  HttpConnection kept(admin);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(kept.Send("GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"));
    auto response = kept.ReadResponse(5s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  }
  // The clients' port knows nothing of the admin paths.
  EXPECT_EQ(HttpExchange(server.Port(), Get("/metrics"))->raw, ConstantAnswer());
}

TEST(AccessLog, LinesAreInTheCombinedFormatWithTheDuration) {
  ScratchFolder folder;
  const fs::path log = folder.Path() / "access.log";
  MinimalServer server({"--access-log", log.string()});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  EXPECT_TRUE(HttpExchange(server.Port(), Get("/test.app?a=1")));
  EXPECT_TRUE(HttpExchange(server.Port(),
                           Get("/test.app", "Referer: http://x/\"q\r\nUser-Agent: TimeClock/2.1 (iPhone)\r\n")));
  EXPECT_TRUE(HttpExchange(server.Port(), Get("/a\"b\\c\x80")));
  EXPECT_TRUE(HttpExchange(server.Port(), "GET /test.app HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(server.process.Stop(), 0);

  const std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), 4u);
  struct Expected {
    std::string request, referer, agent;
  };
  const Expected expected[] = {
      {"GET /test.app?a=1 HTTP/1.1", "-", "-"},
      {"GET /test.app HTTP/1.1", R"(http://x/\x22q)", "TimeClock/2.1 (iPhone)"},
      {R"(GET /a\x22b\x5Cc\x80 HTTP/1.1)", "-", "-"},
      {"GET /test.app HTTP/1.0", "-", "-"},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    std::smatch fields;
    ASSERT_TRUE(std::regex_match(lines[i], fields, kCombinedLine));
    EXPECT_EQ(fields[1], "127.0.0.1");
    EXPECT_EQ(fields[3], expected[i].request);
    EXPECT_EQ(fields[4], "200");
    EXPECT_EQ(fields[5], std::to_string(ConstantAnswer().size()));
    EXPECT_EQ(fields[6], expected[i].referer);
    EXPECT_EQ(fields[7], expected[i].agent);
    EXPECT_LT(std::stoull(fields[8]), 10'000'000u);
  }
}

// logrotate renames the file, then signals: the lines before land in the old file, the
// ones after in a new one, and none is lost while requests keep coming.
TEST(AccessLog, ReopensOnSigusr1AfterARenameAndLosesNoLine) {
  ScratchFolder folder;
  const fs::path log = folder.Path() / "access.log";
  const fs::path rotated = folder.Path() / "access.log.1";
  MinimalServer server({"--access-log", log.string(), "--admin-listen", "127.0.0.1:0"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  const uint16_t admin = AdminPort(server.process);

  constexpr int kRequests = 600;
  std::atomic<int> answered{0};
  std::thread client([&] {
    HttpConnection connection(server.Port());
    for (int i = 0; i < kRequests; ++i) {
      if (!connection.Send(Get("/test.app?n=" + std::to_string(i))) || !connection.ReadResponse(5s)) return;
      answered.fetch_add(1);
    }
  });
  while (answered.load() < kRequests / 3) std::this_thread::yield();
  fs::rename(log, rotated);
  server.process.Signal(SIGUSR1);
  client.join();
  ASSERT_EQ(answered.load(), kRequests);
  // The host is still there, and so is the new file.
  ASSERT_TRUE(HttpExchange(server.Port(), Get("/test.app?n=last")));
  const std::string page = Scrape(admin);
  EXPECT_EQ(SampleValue(page, "tallyhand_access_log_write_errors_total"), 0) << page;
  EXPECT_EQ(server.process.Stop(), 0);

  const std::vector<std::string> before = Lines(rotated);
  const std::vector<std::string> after = Lines(log);
  EXPECT_FALSE(before.empty());
  EXPECT_FALSE(after.empty());
  std::vector<std::string> all = before;
  all.insert(all.end(), after.begin(), after.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kRequests + 1));
  for (int i = 0; i < kRequests; ++i) {
    EXPECT_NE(all[static_cast<size_t>(i)].find("\"GET /test.app?n=" + std::to_string(i) + " HTTP/1.1\""),
              std::string::npos)
        << all[static_cast<size_t>(i)];
  }
}

TEST(AccessLog, Sigusr1WithoutAnAccessLogLeavesTheHostServing) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening());
  server.process.Signal(SIGUSR1);
  EXPECT_EQ(HttpExchange(server.Port(), Get("/test.app"))->raw, ConstantAnswer());
  EXPECT_EQ(server.process.Stop(), 0);
}

// A line that cannot be written (the disk full) is counted; the answers go on.
TEST(AccessLog, AWriteFailureIsCountedAndTheAnswersGoOn) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  MinimalServer server({"--access-log", "/dev/full", "--admin-listen", "127.0.0.1:0"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  const uint16_t admin = AdminPort(server.process);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(HttpExchange(server.Port(), Get("/test.app"))->raw, ConstantAnswer());
  EXPECT_EQ(SampleValue(Scrape(admin), "tallyhand_access_log_write_errors_total"), 3);
}

}  // namespace
}  // namespace tallyhand::testsupport
