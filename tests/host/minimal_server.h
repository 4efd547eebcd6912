// The host serving the minimal extension on a free loopback port, and request texts.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/http_client.h"
#include "support/server_process.h"

namespace tallyhand::testsupport {

inline const std::string kTestPage =
    "<html><head><title>Tallyhand Application Server</title></head><body>Tallyhand Application "
    "Test page - <b>Powered by Quarrow</b></body></html>";

inline std::string ConstantAnswer(const std::string& body = kTestPage) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string MinimalModulePath() { return BuiltFile("minimal_extension.so"); }

inline ServerLaunch MinimalLaunch(const std::vector<std::string>& extraArgs = {}) {
  ServerLaunch launch;
  launch.args = {"--module", MinimalModulePath(), "--port", "0", "--listen", "127.0.0.1"};
  launch.args.insert(launch.args.end(), extraArgs.begin(), extraArgs.end());
  return launch;
}

// Sanitizer builds report from inside the server; its standard error must stay clean.
inline void ExpectNoSanitizerReport(const ServerProcess& process) {
  std::string text = process.StderrText();
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    if (text.find(mark) != std::string::npos) ADD_FAILURE() << "server reported:\n" << text;
  }
}

class MinimalServer {
 public:
  explicit MinimalServer(const std::vector<std::string>& extraArgs = {})
      : process(MinimalLaunch(extraArgs)) {
    listening_ = process.WaitUntilListening();
  }
  ~MinimalServer() {
    process.Stop();
    ExpectNoSanitizerReport(process);
  }
  MinimalServer(const MinimalServer&) = delete;
  MinimalServer& operator=(const MinimalServer&) = delete;
  bool Listening() const { return listening_; }
  uint16_t Port() const { return process.Port(); }

  ServerProcess process;

 private:
  bool listening_ = false;
};

inline std::string Get(std::string_view target, std::string_view extraHeaders = "") {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n" +
         std::string(extraHeaders) + "\r\n";
}

inline std::string Post(std::string_view target, std::string_view body,
                        std::string_view contentType = "application/octet-stream") {
  return "POST " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " +
         std::string(contentType) + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + std::string(body);
}

// A body of the given size whose bytes are not all alike, so that lost or reordered
// pieces show.
inline std::string PatternBody(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return body;
}

// The echo answer's lines before the empty line, and the body after it.
struct EchoReport {
  std::string fields;
  std::string body;
  bool Has(std::string_view line) const {
    return ("\n" + fields).find("\n" + std::string(line) + "\n") != std::string::npos;
  }
};

inline EchoReport ParseEcho(const std::string& answerBody) {
  size_t split = answerBody.find("\n\n");
  if (split == std::string::npos) return {answerBody, ""};
  return {answerBody.substr(0, split + 1), answerBody.substr(split + 2)};
}

}  // namespace tallyhand::testsupport
