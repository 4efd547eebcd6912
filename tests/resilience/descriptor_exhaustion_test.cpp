// The server out of descriptors: started with a low limit on open files and flooded with
// more clients than it can hold, it goes on serving the connections it has, waits instead
// of spinning on the accept that fails, and takes new clients once descriptors are free.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/e2e_site.h"
#include "resilience/connection_flood.h"
#include "resilience/limited_server.h"
#include "support/process_figures.h"

namespace tallyhand::resilience {
namespace {

using namespace std::chrono_literals;
using e2e::E2eSite;
using testsupport::CpuSeconds;
using testsupport::HttpConnection;
using testsupport::HttpExchange;

constexpr int kDescriptorLimit = 256;
constexpr std::size_t kKeptClients = 20;
// Far more than the limit leaves room for.
constexpr std::size_t kFloodClients = 400;
constexpr auto kEpisode = 4s;

const std::string kPageRequest = "GET /test.app HTTP/1.1\r\nHost: localhost\r\n\r\n";

bool AnswersThePage(HttpConnection& connection) {
  if (!connection.Send(kPageRequest)) return false;
  const auto response = connection.ReadResponse(5s);
  return response && response->status == 200 &&
         response->body.find("Test page") != std::string::npos;
}

TEST(DescriptorExhaustion, OpenConnectionsAreServedAcceptWaitsAndNewClientsComeInOnceThereIsRoom) {
  ASSERT_GE(testsupport::RaiseOwnDescriptorLimit(), kKeptClients + kFloodClients + 64);
  E2eSite site;
  // Soft and hard limit alike, so the server cannot raise it; a header timeout longer
  // than the episode, so no flood connection is closed by the server meanwhile.
  testsupport::ServerProcess server(LaunchWithDescriptorLimit(
      site, std::to_string(kDescriptorLimit), {"--header-timeout", "60"}));
  ASSERT_TRUE(server.WaitUntilListening()) << server.SpawnError() << server.StderrText();
  const uint16_t port = server.Port();

  std::vector<std::unique_ptr<HttpConnection>> kept;
  for (std::size_t i = 0; i < kKeptClients; ++i) {
    kept.push_back(std::make_unique<HttpConnection>(port));
    ASSERT_TRUE(AnswersThePage(*kept.back())) << "client " << i;
  }

  ConnectionFlood flood(port);
  ASSERT_EQ(flood.Open(kFloodClients), kFloodClients);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server.StderrText().find("accept failed: Too many open files") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "the server never ran out: " << server.StderrText();
    std::this_thread::sleep_for(50ms);
  }

  // Out of descriptors: the kept clients are served all along, and the failing accept
  // costs next to nothing (spinning on it would burn a whole core).
  const double cpuBefore = CpuSeconds(server.Pid());
  const auto start = std::chrono::steady_clock::now();
  std::size_t answered = 0;
  while (std::chrono::steady_clock::now() - start < kEpisode) {
    for (auto& connection : kept) {
      ASSERT_TRUE(AnswersThePage(*connection)) << "after " << answered << " answers";
      ++answered;
    }
    std::this_thread::sleep_for(100ms);
  }
  const double cpuUsed = CpuSeconds(server.Pid()) - cpuBefore;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "descriptor exhaustion: %zu answers in %.1f s, server CPU %.3f s (%.1f%% of one core)\n",
      answered, wall, cpuUsed, 100 * cpuUsed / wall);
  EXPECT_LT(cpuUsed, 0.1 * wall) << "the server spins while it cannot accept";

  // Room again: the clients that waited in the backlog are taken (and left), new ones served.
  flood.CloseAll();
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    HttpConnection fresh(port);
    served = fresh.Connected() && AnswersThePage(fresh);
    if (!served) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(served) << "no new client was served once descriptors were free";
  EXPECT_NE(server.StderrText().find("accepting connections again"), std::string::npos);
  for (auto& connection : kept) EXPECT_TRUE(AnswersThePage(*connection));
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace tallyhand::resilience
