// What the mobile app sends to "/tcclientRequest.app" and what it reads back: the request
// JSON with grave accents for double quotes, percent-encoded as a form body; the answer
// envelope between the two marker lines, in a 200 response of Content-Type text/html.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "e2e/e2e_site.h"
#include "support/http_client.h"

namespace tallyhand::e2e {

inline constexpr std::string_view kResponseBegin = "-------begin of response message----------";
inline constexpr std::string_view kResponseEnd = "-------endof response message----------";
inline constexpr std::string_view kClientRequestPath = "/tcclientRequest.app";
inline constexpr std::string_view kFormType = "application/x-www-form-urlencoded";
inline constexpr size_t kKeyLength = 32;

// The form body the app sends for a request written in ordinary JSON.
inline std::string AppForm(std::string_view json) {
  std::string graves(json);
  for (char& c : graves) {
    if (c == '"') c = '`';
  }
  return PercentEncode(graves);
}

inline std::string HttpPost(std::string_view target, std::string_view body,
                            std::string_view contentType = kFormType) {
  return "POST " + std::string(target) +
         " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + std::string(contentType) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

inline std::string HttpGet(std::string_view target) {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

// The answer envelopes, member for member in their fixed order.
inline std::string ErrorEnvelope(std::string_view rid, std::string_view text) {
  return R"({"error":"1","RID":")" + std::string(rid) + R"(","response":")" + std::string(text) +
         R"(","eofline":"eof"})";
}
inline std::string RowsEnvelope(std::string_view rid, std::string_view rows) {
  return R"({"error":"0","RID":")" + std::string(rid) + R"(","response":)" + std::string(rows) +
         R"(,"eofline":"eof"})";
}
inline std::string KeyEnvelope(std::string_view rid, std::string_view key) {
  return R"({"error":"0","RID":")" + std::string(rid) + R"(","response":"success","key":")" +
         std::string(key) + R"(","eofline":"eof"})";
}

inline std::string Framed(std::string_view envelope) {
  return std::string(kResponseBegin) + std::string(envelope) + std::string(kResponseEnd);
}

// How an error text that embeds the request text shows it: double quotes as apostrophes,
// backslashes doubled, line breaks gone.
inline std::string EchoedText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"') {
      out += '\'';
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c != '\r' && c != '\n') {
      out += c;
    }
  }
  return out;
}

inline bool IsKeyText(std::string_view text) {
  if (text.size() != kKeyLength) return false;
  for (char c : text) {
    if (c < 'A' || c > 'T') return false;
  }
  return true;
}

// Checks a whole response: status line, exactly the two headers, and the body.
inline ::testing::AssertionResult IsAnswer(const std::optional<testsupport::HttpResponse>& response,
                                           std::string_view body) {
  if (!response) return ::testing::AssertionFailure() << "no response";
  const std::string expected = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
  if (response->raw == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "response\n  " << response->raw << "\nexpected\n  " << expected;
}

// The key of a framed key envelope for that RID; nullopt when the body is anything else.
inline std::optional<std::string> KeyAnswered(std::string_view body, std::string_view rid) {
  const std::string marker = "@";
  const std::string shape = Framed(KeyEnvelope(rid, marker));
  const size_t at = shape.find(marker);
  const std::string_view head = std::string_view(shape).substr(0, at);
  const std::string_view tail = std::string_view(shape).substr(at + marker.size());
  if (body.size() != head.size() + kKeyLength + tail.size() || !body.starts_with(head) ||
      !body.ends_with(tail)) {
    return std::nullopt;
  }
  const std::string_view key = body.substr(head.size(), kKeyLength);
  if (!IsKeyText(key)) return std::nullopt;
  return std::string(key);
}

// Stops the server: it must end with exit code 0 and without a sanitizer report.
inline void ExpectCleanStop(testsupport::ServerProcess& server) {
  EXPECT_EQ(server.Stop().value_or(-1), 0);
  const std::string errors = server.StderrText();
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(errors.find(mark), std::string::npos) << errors;
  }
}
inline void ExpectCleanStop(E2eSite& site) { ExpectCleanStop(site.Server()); }

}  // namespace tallyhand::e2e
