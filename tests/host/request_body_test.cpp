// Request bodies: read whole before the extension runs, the first read-ahead bytes in
// lpbData and the rest through ReadClient, within the body limit and the shared cap.
#include <gtest/gtest.h>

#include "minimal_server.h"

namespace tallyhand::testsupport {
namespace {

std::string Chunked(const std::vector<std::string>& chunks) {
  std::string request =
      "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (const std::string& chunk : chunks) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    request += size + chunk + "\r\n";
  }
  return request + "0\r\n\r\n";
}

TEST(RequestBody, ReachesTheExtensionWholeAroundTheReadAhead) {
  MinimalServer server({"--read-ahead", "1000"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection connection(server.Port());
  for (size_t size : {size_t{0}, size_t{1}, size_t{999}, size_t{1000}, size_t{1001}, size_t{250000}}) {
    SCOPED_TRACE(size);
    std::string body = PatternBody(size);
    ASSERT_TRUE(connection.Send(Post("/echo", body, "text/plain")));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EchoReport report = ParseEcho(response->body);
    EXPECT_TRUE(report.Has("total: " + std::to_string(size))) << report.fields;
    EXPECT_TRUE(report.Has("available: " + std::to_string(std::min<size_t>(size, 1000))));
    EXPECT_TRUE(report.Has("content-type: text/plain"));
    EXPECT_EQ(report.body, body);
  }
}

// A large body is read with a widened buffer that is given back before the next request;
// bytes of that request already read with the body's last bytes must survive it.
TEST(RequestBody, RequestSentRightBehindALargeBodyIsAnsweredToo) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection connection(server.Port());
  for (size_t size : {size_t{65536}, size_t{100000}, size_t{300000}}) {
    SCOPED_TRACE(size);
    const std::string body = PatternBody(size);
    ASSERT_TRUE(connection.Send(Post("/echo", body, "text/plain") + Get("/test.app") +
                                Post("/echo", "after", "text/plain")));
    auto echoed = connection.ReadResponse();
    auto page = connection.ReadResponse();
    auto small = connection.ReadResponse();
    ASSERT_TRUE(echoed && page && small);
    EXPECT_EQ(ParseEcho(echoed->body).body, body);
    EXPECT_EQ(page->raw, ConstantAnswer());
    EXPECT_EQ(ParseEcho(small->body).body, "after");
  }
}

TEST(RequestBody, DefaultReadAheadIs49152Bytes) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  std::string body = PatternBody(100000);
  auto response = HttpExchange(server.Port(), Post("/echo", body));
  ASSERT_TRUE(response);
  EchoReport report = ParseEcho(response->body);
  EXPECT_TRUE(report.Has("total: 100000"));
  EXPECT_TRUE(report.Has("available: 49152"));
  EXPECT_EQ(report.body, body);
}

TEST(RequestBody, ChunkedBodyIsGivenWithItsFinalSize) {
  MinimalServer server({"--read-ahead", "10"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  std::vector<std::string> chunks = {PatternBody(7), "-", PatternBody(3000)};
  auto response = HttpExchange(server.Port(), Chunked(chunks));
  ASSERT_TRUE(response);
  EchoReport report = ParseEcho(response->body);
  EXPECT_TRUE(report.Has("total: 3008")) << report.fields;
  EXPECT_TRUE(report.Has("available: 10"));
  EXPECT_EQ(report.body, chunks[0] + chunks[1] + chunks[2]);
}

TEST(RequestBody, ExpectContinueGetsTheInterimAnswerFirst) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection connection(server.Port());
  ASSERT_TRUE(connection.Send(
      "POST /echo HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
  auto interim = connection.ReadResponse();
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->raw, "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(connection.Send("hello"));
  auto response = connection.ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_EQ(ParseEcho(response->body).body, "hello");
}

TEST(RequestBody, OversizeBodyIsRefusedWith413) {
  MinimalServer server({"--max-body", "1000"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  struct Case {
    const char* name;
    std::string request;
  };
  const Case cases[] = {
      {"declared length", Post("/echo", PatternBody(1001))},
      {"chunked", Chunked({PatternBody(600), PatternBody(600)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpConnection connection(server.Port());
    ASSERT_TRUE(connection.Send(c.request));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413);
    EXPECT_EQ(response->Header("Connection"), "close");
    EXPECT_TRUE(connection.ClosedByPeer());
  }
  // The limit itself is allowed.
  auto response = HttpExchange(server.Port(), Post("/echo", PatternBody(1000)));
  ASSERT_TRUE(response);
  EXPECT_EQ(ParseEcho(response->body).body, PatternBody(1000));
}

TEST(RequestBody, BodiesBeyondTheSharedCapAreRefusedWith503) {
  MinimalServer server({"--max-buffered", "1000", "--max-body", "100000"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  auto refused = HttpExchange(server.Port(), Post("/echo", PatternBody(2000)));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  // What was held for refused and finished requests is given back.
  for (int i = 0; i < 3; ++i) {
    auto accepted = HttpExchange(server.Port(), Post("/echo", PatternBody(1000)));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(ParseEcho(accepted->body).body, PatternBody(1000));
  }
}

}  // namespace
}  // namespace tallyhand::testsupport
