// How the host carries the extension's answers to the client: bytes exactly as written,
// connections kept alive only when the answer's end is known, unanswered requests closed
// without a byte.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "minimal_server.h"

namespace tallyhand::testsupport {
namespace {

class HostAnswers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = std::make_unique<MinimalServer>(); }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_TRUE(server_->Listening()) << server_->process.StderrText(); }
  static uint16_t Port() { return server_->Port(); }

  static std::unique_ptr<MinimalServer> server_;
};
std::unique_ptr<MinimalServer> HostAnswers::server_;

std::string PageOfSize(size_t size) {
  std::string page;
  while (page.size() < size) page += kTestPage.substr(0, size - page.size());
  return page;
}

TEST_F(HostAnswers, ConstantPageIsByteExact) {
  auto response = HttpExchange(Port(), Get("/test.app"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ConstantAnswer());
}

TEST_F(HostAnswers, PageSizeFollowsTheQuery) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{141}, size_t{1000}, size_t{300000}}) {
    SCOPED_TRACE(size);
    auto response = HttpExchange(Port(), Get("/test.app?size=" + std::to_string(size)));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw, ConstantAnswer(PageOfSize(size)));
  }
}

TEST_F(HostAnswers, OneConnectionCarriesManyRequests) {
  HttpConnection connection(Port());
  ASSERT_TRUE(connection.Connected());
  const std::string targets[] = {"/test.app", "/pending", "/echo", "/test.app?size=5000",
                                 "/slow?ms=10", "/pending", "/test.app"};
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    ASSERT_TRUE(connection.Send(Get(target)));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
  }
  EXPECT_FALSE(connection.ClosedByPeer(std::chrono::milliseconds(200)));
}

TEST_F(HostAnswers, PipelinedRequestsAreAnsweredInOrder) {
  HttpConnection connection(Port());
  ASSERT_TRUE(connection.Send(Get("/test.app?size=10") + Post("/echo", "abc") + Get("/pending") +
                              Get("/test.app?size=20")));
  auto first = connection.ReadResponse();
  auto second = connection.ReadResponse();
  auto third = connection.ReadResponse();
  auto fourth = connection.ReadResponse();
  ASSERT_TRUE(first && second && third && fourth);
  EXPECT_EQ(first->raw, ConstantAnswer(PageOfSize(10)));
  EXPECT_EQ(ParseEcho(second->body).body, "abc");
  EXPECT_EQ(third->raw, ConstantAnswer());
  EXPECT_EQ(fourth->raw, ConstantAnswer(PageOfSize(20)));
}

// An answer finished on another thread is sent from that thread as far as the socket
// takes it; the rest must still arrive whole, and the connection carry on, when the
// client only starts reading later.
TEST_F(HostAnswers, LargeAnswerFromAnotherThreadReachesASlowReaderWhole) {
  HttpConnection connection(Port());
  const std::string body = PatternBody(16 * 1024 * 1024);
  ASSERT_TRUE(connection.Send(Post("/echo", body)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto response = connection.ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_TRUE(ParseEcho(response->body).body == body);
  ASSERT_TRUE(connection.Send(Get("/pending")));
  auto next = connection.ReadResponse();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->raw, ConstantAnswer());
}

TEST_F(HostAnswers, ConnectionClosesAfterAnswerWhenClientAsks) {
  struct Case {
    const char* name;
    std::string request;
  };
  const Case cases[] = {
      {"Connection: close", Get("/test.app", "Connection: close\r\n")},
      {"HTTP/1.0", "GET /test.app HTTP/1.0\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpConnection connection(Port());
    ASSERT_TRUE(connection.Send(c.request));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw, ConstantAnswer());
    EXPECT_TRUE(connection.ClosedByPeer());
    EXPECT_EQ(connection.ReceivedBytes(), "");
  }
}

TEST_F(HostAnswers, AnswerWithoutLengthEndsTheConnection) {
  HttpConnection connection(Port());
  ASSERT_TRUE(connection.Send(Get("/nolength")));
  auto bytes = connection.ReadUntilClose();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + kTestPage);
}

TEST_F(HostAnswers, UnansweredRequestIsClosedWithoutAByte) {
  for (const char* target : {"/silent", "/error"}) {
    SCOPED_TRACE(target);
    HttpConnection connection(Port());
    // An answered request first: the close must not come from a fresh connection only.
    ASSERT_TRUE(connection.Send(Get("/test.app")));
    ASSERT_TRUE(connection.ReadResponse());
    ASSERT_TRUE(connection.Send(Get(target)));
    auto bytes = connection.ReadUntilClose();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "");
  }
}

TEST_F(HostAnswers, HeadGetsTheHeaderOnlyAndKeepsTheConnection) {
  HttpConnection connection(Port());
  ASSERT_TRUE(connection.Send("HEAD /test.app HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto head = connection.ReadResponse(std::chrono::seconds(10), /*toHead=*/true);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->raw, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 141\r\n\r\n");
  ASSERT_TRUE(connection.Send(Get("/test.app")));
  auto next = connection.ReadResponse();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->raw, ConstantAnswer());
}

TEST_F(HostAnswers, ConcurrentClientsAreEachAnsweredCorrectly) {
  constexpr int kClients = 12;
  constexpr int kRequestsEach = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&, client] {
      HttpConnection connection(Port());
      for (int i = 0; i < kRequestsEach; ++i) {
        // Sizes on both sides of the 49152-byte read-ahead.
        std::string body = PatternBody(static_cast<size_t>(client * 9973 + i * 7919) % 120000);
        bool ok = false;
        switch (i % 3) {
          case 0: {
            ok = connection.Send(Get("/test.app"));
            auto response = ok ? connection.ReadResponse() : std::nullopt;
            ok = response && response->raw == ConstantAnswer();
            break;
          }
          case 1: {
            ok = connection.Send(Get("/pending"));
            auto response = ok ? connection.ReadResponse() : std::nullopt;
            ok = response && response->raw == ConstantAnswer();
            break;
          }
          default: {
            ok = connection.Send(Post("/echo", body));
            auto response = ok ? connection.ReadResponse() : std::nullopt;
            ok = response && ParseEcho(response->body).body == body;
            break;
          }
        }
        if (!ok) {
          ++failures;
          return;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tallyhand::testsupport
