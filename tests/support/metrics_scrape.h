// The admin listener as a test reaches it: its port from the server's output, a scrape,
// one sample's value, and promtool's verdict on a page.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "support/http_client.h"
#include "support/server_process.h"

namespace tallyhand::testsupport {

inline constexpr std::string_view kAdminLine = "admin listening on ";

// The admin listener's port; 0 when the server printed no admin line.
inline uint16_t AdminPort(ServerProcess& server) {
  std::optional<std::string> endpoint = server.WaitForLine(kAdminLine);
  if (!endpoint) return 0;
  const size_t colon = endpoint->rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<uint16_t>(std::strtoul(endpoint->c_str() + colon + 1, nullptr, 10));
}

inline std::optional<HttpResponse> AdminGet(uint16_t adminPort, std::string_view path,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return HttpExchange(adminPort,
                      "GET " + std::string(path) + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n",
                      timeout);
}

// The /metrics page; empty when none came back.
inline std::string Scrape(uint16_t adminPort) {
  auto response = AdminGet(adminPort, "/metrics");
  if (!response || response->status != 200) return {};
  return response->body;
}

// The value of the sample written exactly so (name and labels as the page shows them);
// nullopt when the page has no such sample.
inline std::optional<double> SampleValue(std::string_view page, std::string_view sample) {
  const std::string line = "\n" + std::string(sample) + " ";
  const std::string text = "\n" + std::string(page);
  const size_t at = text.find(line);
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(text.c_str() + at + line.size(), nullptr);
}

inline double SampleOrZero(std::string_view page, std::string_view sample) {
  return SampleValue(page, sample).value_or(0);
}

// promtool's "check metrics" on the page: empty when it passes, else what it said.
inline std::string PromtoolProblems(const std::string& page) {
  char path[] = "/tmp/tallyhand-scrape-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "mkstemp failed";
  ::close(fd);
  std::ofstream(path, std::ios::binary) << page;
  const std::string command = "promtool check metrics < " + std::string(path) + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run promtool";
  char chunk[512];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  const int status = ::pclose(pipe);
  ::unlink(path);
  if (status == 0) return {};
  return output.empty() ? "promtool failed (is Debian's prometheus package installed?)" : output;
}

}  // namespace tallyhand::testsupport
