// Hostile or broken clients: oversize and malformed requests are refused, slow and silent
// ones are dropped after their timeout without holding up anyone else, and connections
// beyond the limit are closed at once.
#include <gtest/gtest.h>

#include <thread>

#include "minimal_server.h"

namespace tallyhand::testsupport {
namespace {

using namespace std::chrono_literals;

TEST(Defence, OversizeHeaderIsRefusedWith431) {
  MinimalServer server({"--header-limit", "1024"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection connection(server.Port());
  ASSERT_TRUE(connection.Send(Get("/test.app", "X-Big: " + std::string(2000, 'b') + "\r\n")));
  auto response = connection.ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 431);
  EXPECT_TRUE(connection.ClosedByPeer());
  // A header within the limit is served.
  auto fine = HttpExchange(server.Port(), Get("/test.app", "X-Small: " + std::string(500, 's') + "\r\n"));
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->raw, ConstantAnswer());
}

TEST(Defence, MalformedRequestsAreRefusedWith400) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  const std::string requests[] = {
      "GARBAGE\r\n\r\n",
      "GET /test.app HTTX/1.1\r\n\r\n",
      "POST /echo HTTP/1.1\r\nContent-Length: abc\r\n\r\n",
      "POST /echo HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nab",
      "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    HttpConnection connection(server.Port());
    ASSERT_TRUE(connection.Send(request));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);
    EXPECT_TRUE(connection.ClosedByPeer());
  }
}

TEST(Defence, ClientStoppingMidBodyIsDroppedWhileOthersAreServed) {
  // One network thread: a stalled client that held it would stall everyone.
  MinimalServer server({"--body-timeout", "1", "--io-threads", "1"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection stalled(server.Port());
  ASSERT_TRUE(stalled.Send(
      "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n" + PatternBody(10)));
  for (int i = 0; i < 5; ++i) {
    auto response = HttpExchange(server.Port(), Get("/pending"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw, ConstantAnswer());
  }
  EXPECT_TRUE(stalled.ClosedByPeer(15s));
  EXPECT_EQ(stalled.ReceivedBytes(), "");
}

TEST(Defence, SilentOrIdleConnectionsAreDroppedAfterTheirTimeout) {
  MinimalServer server({"--header-timeout", "1", "--idle-timeout", "1"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  struct Case {
    const char* name;
    std::string sentFirst;
    bool answered;
  };
  const Case cases[] = {
      {"never sends", "", false},
      {"stops inside the header", "GET /test.app HTTP/1.1\r\nHo", false},
      {"idle after an answer", Get("/test.app"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpConnection connection(server.Port());
    ASSERT_TRUE(connection.Send(c.sentFirst));
    if (c.answered) {
      ASSERT_TRUE(connection.ReadResponse());
    }
    EXPECT_TRUE(connection.ClosedByPeer(15s));
    EXPECT_EQ(connection.ReceivedBytes(), "");
  }
}

TEST(Defence, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  MinimalServer server({"--max-connections", "2"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  auto first = std::make_unique<HttpConnection>(server.Port());
  HttpConnection second(server.Port());
  for (HttpConnection* connection : {first.get(), &second}) {
    ASSERT_TRUE(connection->Send(Get("/test.app")));
    ASSERT_TRUE(connection->ReadResponse());
  }
  HttpConnection third(server.Port());
  EXPECT_TRUE(third.ClosedByPeer(10s));
  EXPECT_EQ(third.ReceivedBytes(), "");

  // Once a connection ends, its place is free again (the host notices the close
  // asynchronously, so a few attempts may be needed).
  first.reset();
  bool served = false;
  for (int attempt = 0; attempt < 100 && !served; ++attempt) {
    auto response = HttpExchange(server.Port(), Get("/test.app"), 2s);
    served = response && response->raw == ConstantAnswer();
    if (!served) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(served);
}

}  // namespace
}  // namespace tallyhand::testsupport
