// Three servers of one PostgreSQL site behind Debian's HAProxy, sharing their session
// keys in Redis, under mixed traffic from 50 connections while each server in turn is
// stopped with SIGTERM and started again (TALLYHAND_E2E_BALANCED_SECONDS, 60 by default,
// 20 in sanitizer builds): no request fails, every write answered with success is in the
// database exactly once, and every key works to the end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"
#include "e2e/upload_fixture.h"
#include "support/jpeg_samples.h"
#include "support/redis_test_server.h"

namespace tallyhand::e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::HttpConnection;
using testsupport::ServerLaunch;
using testsupport::ServerProcess;

constexpr int kConnections = 50;
constexpr int kServers = 3;
constexpr std::string_view kHaproxy = "/usr/sbin/haproxy";
constexpr std::string_view kWhoAmI = "SELECT UserName AS name FROM users WHERE UserID = _userID_";

std::chrono::seconds RunLength() {
  if (const char* text = std::getenv("TALLYHAND_E2E_BALANCED_SECONDS")) {
    if (const long seconds = std::strtol(text, nullptr, 10); seconds > 0) return std::chrono::seconds(seconds);
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 20s;
#else
  return 60s;
#endif
}

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

struct Account {
  std::string user, password, company;
  std::string report;  // a daily report of the user: id, job, work date
  std::string job, date;
  std::string name;
};
const Account kAccounts[] = {
    {"jsmith", "secret", "Acme Builders", "1", "JOB 1", "02/13/2020", "jsmith"},
    {"kwhite", "pw", "Northwind Paving", "3", "JOB 1", "03/02/2020", "kwhite"},
};

// What the clients saw: failures with their details, and the writes answered with
// success, by their unique note or picture name.
struct Outcome {
  std::mutex mutex;
  std::vector<std::string> failures;
  std::vector<std::string> timeCards;
  std::vector<std::string> pictures;
  std::map<std::string, int> answered;
  void Fail(std::string what) {
    std::lock_guard lock(mutex);
    if (failures.size() < 20) failures.push_back(std::move(what));
    ++answered["failed"];
  }
  void Count(const std::string& kind) {
    std::lock_guard lock(mutex);
    ++answered[kind];
  }
};

// One app client on one kept-alive connection to the balancer: signs in once, then
// mixes keyed reads, time-card writes, uploads and now and then a fresh sign-in.
class Client {
 public:
  Client(int number, uint16_t port, Outcome& outcome)
      : number_(number), port_(port), account_(kAccounts[number % 2]), outcome_(outcome), random_(number) {}

  void Run(const std::atomic<bool>& stop) {
    key_ = SignIn();
    for (int n = 0; !stop.load(); ++n) {
      const auto pick = random_() % 100;
      if (pick < 55) {
        Read("r" + std::to_string(n));
      } else if (pick < 80) {
        WriteTimeCard(n);
      } else if (pick < 92) {
        UploadPicture(n);
      } else {
        // Signing in again through whichever server: the new key must work at once.
        const std::string key = SignIn();
        if (!key.empty()) key_ = key;
      }
    }
  }
  // The client's key still serves, after every restart.
  void CheckKeyStillWorks() { Read("last"); }

 private:
  std::optional<testsupport::HttpResponse> Exchange(const std::string& request, const std::string& what) {
    if (!connection_ || !connection_->Connected()) connection_ = std::make_unique<HttpConnection>(port_);
    std::optional<testsupport::HttpResponse> response;
    if (connection_->Send(request)) response = connection_->ReadResponse(30s);
    if (!response || response->status != 200) {
      outcome_.Fail(what + ": " + (response ? response->statusLine + " " + response->body : "no answer"));
      connection_.reset();
      return std::nullopt;
    }
    return response;
  }
  std::string Tag(int n) const { return "ha-" + std::to_string(number_) + "-" + std::to_string(n); }

  std::string SignIn() {
    const std::string json = R"({"AuthUser":")" + account_.user + R"(","AuthPass":")" + account_.password +
                             R"(","AuthComp":")" + account_.company + R"(","RID":"s","ReqMethod":"checkLogin"})";
    const auto response = Exchange(HttpPost(kClientRequestPath, AppForm(json)), "sign-in");
    if (!response) return "";
    const auto key = KeyAnswered(response->body, "s");
    if (!key) outcome_.Fail("sign-in: " + response->body);
    outcome_.Count("sign-in");
    return key.value_or("");
  }
  void Read(const std::string& rid) {
    const std::string json = R"({"RID":")" + rid + R"(","key":")" + key_ + R"(","ReqMethod":")" +
                             std::string(kWhoAmI) + R"("})";
    const auto response = Exchange(HttpPost(kClientRequestPath, AppForm(json)), "keyed read");
    if (!response) return;
    if (response->body != Framed(RowsEnvelope(rid, R"([{"name":")" + account_.name + R"("}])"))) {
      outcome_.Fail("keyed read: " + response->body);
    }
    outcome_.Count("read");
  }
  void WriteTimeCard(int n) {
    const std::string tag = Tag(n);
    const std::string method = "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(_userID_,0," +
                               account_.report + ",'" + account_.date + "','7','08:00','16:00',8,'CC','EQ','" +
                               tag + "','" + account_.job + "','open');";
    const std::string json = R"({"RID":"t","key":")" + key_ + R"(","ReqMethod":")" + method + R"("})";
    const auto response = Exchange(HttpPost(kClientRequestPath, AppForm(json)), "time card " + tag);
    if (!response) return;
    if (response->body.find(R"({"error":"0","RID":"t","response":[{"ResultStatus":"0")") == std::string::npos ||
        response->body.find(R"("TimeCardID":")") == std::string::npos) {
      outcome_.Fail("time card " + tag + ": " + response->body);
      return;
    }
    std::lock_guard lock(outcome_.mutex);
    outcome_.timeCards.push_back(tag);
  }
  void UploadPicture(int n) {
    const std::string name = Tag(n) + ".jpg";
    Query query = ClockInQuery("u");
    for (const char* credential : {"AuthUser", "AuthPass", "AuthComp"}) query = With(query, credential, std::nullopt);
    query = With(query, "key", key_);
    const auto response =
        Exchange(UploadRequest(query, {JpegPart(name, testing::MakeJpeg(testing::JpegKind::Baseline))}),
                 "upload " + name);
    if (!response) return;
    if (response->body.find(R"({"error":"0","RID":"u","response":[{"ResultStatus":"0")") == std::string::npos) {
      outcome_.Fail("upload " + name + ": " + response->body);
      return;
    }
    std::lock_guard lock(outcome_.mutex);
    outcome_.pictures.push_back(name);
  }

  const int number_;
  const uint16_t port_;
  const Account& account_;
  Outcome& outcome_;
  std::mt19937 random_;
  std::unique_ptr<HttpConnection> connection_;
  std::string key_;
};

class BalancedSite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kHaproxy)) << "HAProxy is needed (scripts/install-deps.sh)";
    std::string why;
    const auto settings = testsupport::ReadRedisSettings(why);
    ASSERT_TRUE(settings) << why;
    redis_ = std::make_unique<testsupport::RedisTestServer>(*settings, false);
    site_ = std::make_unique<E2eSite>(SiteOptions{
        .driver = Driver::PostgreSQL,
        .logging = false,
        // A restarted server opens its database connections while two sanitized servers,
        // the balancer and the database share two cores: the default 5 s bound on a
        // connection can pass there, and this test is about restarts, not that bound.
        .definitionChanges = {{"ConnectTimeout", "30"}},
        .dataIniLines = {"[SessionKeys]", "Store=Redis", "Server=" + settings->host, "Port=" + settings->port,
                         "Password=" + ScrambleNVString(settings->password, kScrambleStartKey)}});
    executable_ = site_->Root() + "tallyhand-server";
    std::filesystem::copy_file(testsupport::ServerExecutablePath(), executable_);
  }

  // Starts server i; port 0 picks a free one, which its restarts keep.
  void StartServer(int i, uint16_t port) {
    ServerLaunch launch;
    launch.executable = executable_;
    launch.args = {"--module", site_->Folder() + site_->ModuleFileName(), "--port", std::to_string(port),
                   "--listen", "127.0.0.1"};
    servers_[i] = std::make_unique<ServerProcess>(launch);
    ASSERT_TRUE(servers_[i]->WaitUntilListening()) << servers_[i]->StderrText();
    ports_[i] = servers_[i]->Port();
  }

  // HAProxy in front: round robin, health checks, and a request that found its server
  // gone (refused, or closed without an answer) sent to another. A stopping server
  // closes its listener at once, so the retries find the others; the checks only need
  // to notice a server that is gone, and allow for the test page waiting its turn
  // behind the load in a sanitized build.
  void StartBalancer() {
    port_ = FreePort();
    const std::string config = site_->Root() + "haproxy.cfg";
    std::ofstream out(config);
    // Its log (server state changes and failed requests only) goes to its standard
    // error, which the test shows when a request fails.
    out << "global\n  maxconn 2000\n  log stderr format short local0\n"
        << "defaults\n  mode http\n  log global\n  option dontlog-normal\n  option httplog\n"
        << "  timeout connect 1s\n  timeout client 60s\n  timeout server 60s\n"
        << "  timeout check 5s\n  retries 3\n  option redispatch 1\n  retry-on conn-failure empty-response\n"
        << "frontend app\n  bind 127.0.0.1:" << port_ << "\n  default_backend servers\n"
        << "backend servers\n  balance roundrobin\n  option httpchk GET /test.app\n";
    for (int i = 0; i < kServers; ++i) {
      out << "  server s" << i << " 127.0.0.1:" << ports_[i] << " check inter 250ms fall 2 rise 1\n";
    }
    out.close();
    ServerLaunch launch;
    launch.executable = std::string(kHaproxy);
    launch.args = {"-f", config, "-db"};
    balancer_ = std::make_unique<ServerProcess>(launch);
    for (int i = 0; i < 200; ++i) {
      if (HttpConnection(port_).Connected()) return;
      std::this_thread::sleep_for(25ms);
    }
    FAIL() << "HAProxy did not start: " << balancer_->StderrText();
  }

  std::unique_ptr<testsupport::RedisTestServer> redis_;
  std::unique_ptr<E2eSite> site_;
  std::string executable_;
  std::unique_ptr<ServerProcess> servers_[kServers];
  uint16_t ports_[kServers] = {};
  std::unique_ptr<ServerProcess> balancer_;
  uint16_t port_ = 0;
};

TEST_F(BalancedSite, EachServerRestartedInTurnUnderLoadLosesNothing) {
  for (int i = 0; i < kServers; ++i) StartServer(i, 0);
  StartBalancer();
  ASSERT_FALSE(HasFatalFailure());

  Outcome outcome;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    clients.push_back(std::make_unique<Client>(c, port_, outcome));
    threads.emplace_back([&stop, client = clients.back().get()] { client->Run(stop); });
  }

  const auto length = RunLength();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kServers; ++i) {
    std::this_thread::sleep_until(start + length * (i + 1) / (kServers + 1));
    EXPECT_EQ(servers_[i]->Stop(), 0) << "server " << i << ": " << servers_[i]->StderrText();
    StartServer(i, ports_[i]);
  }
  std::this_thread::sleep_until(start + length);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  for (auto& client : clients) client->CheckKeyStillWorks();

  for (const std::string& failure : outcome.failures) ADD_FAILURE() << failure;
  EXPECT_EQ(outcome.answered["failed"], 0) << "the balancer's log:\n" << balancer_->StderrText();
  EXPECT_GT(outcome.answered["read"], 0);
  EXPECT_GT(outcome.timeCards.size(), 0u);
  EXPECT_GT(outcome.pictures.size(), 0u);
  std::printf("%d connections for %lld s: %d reads, %d sign-ins, %zu time cards, %zu uploads\n", kConnections,
              static_cast<long long>(length.count()), outcome.answered["read"], outcome.answered["sign-in"],
              outcome.timeCards.size(), outcome.pictures.size());

  // Every write answered with success is stored once, and nothing else was stored.
  const auto joined = [](std::vector<std::string> names, const std::string& prefix) {
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + prefix + name;
    return text;
  };
  EXPECT_EQ(site_->Scalar("SELECT string_agg(Notes, ',' ORDER BY Notes COLLATE \"C\") FROM time_cards "
                          "WHERE Notes LIKE 'ha-%'"),
            joined(outcome.timeCards, ""));
  const std::string folder = site_->Root() + "mobiletcimages/";
  EXPECT_EQ(site_->Scalar("SELECT string_agg(FileName, ',' ORDER BY FileName COLLATE \"C\") FROM "
                          "employee_pictures WHERE FileName LIKE '%/ha-%'"),
            joined(outcome.pictures, folder));

  balancer_->Stop();
  for (auto& server : servers_) ExpectCleanStop(*server);
}

}  // namespace
}  // namespace tallyhand::e2e
