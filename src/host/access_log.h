// The optional access log: one line per answered request in the combined log format
// (what GoAccess, fail2ban and logrotate setups read), with the request's duration in
// microseconds as one more field at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

namespace tallyhand::host {

// One line's fields, as the request and its answer gave them.
struct AccessRecord {
  boost::asio::ip::address client;
  std::string_view method;
  std::string_view target;
  unsigned version = 11;  // 10 or 11
  unsigned status = 0;
  uint64_t bytes = 0;
  std::string_view referer;
  std::string_view userAgent;
  std::chrono::microseconds duration{0};
};

// The line, with its line break; the client's texts cannot break it or its quoting.
std::string FormatAccessLine(const AccessRecord& record, std::time_t when);

class AccessLog {
 public:
  AccessLog() = default;
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // Opens the file for appending; false (with the reason) when it cannot.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return fd_ >= 0; }

  // Callable from any thread: each line leaves in one append. A line that cannot be
  // written is counted and dropped; the answer goes out regardless.
  void Write(const AccessRecord& record);
  // Opens the path again (after logrotate renamed the file) and writes on into the new
  // file; lines written meanwhile land whole in one or the other. False (with the
  // reason) when the path cannot be opened: the old file stays in use.
  bool Reopen(std::string& error);

  uint64_t WriteErrors() const { return writeErrors_.load(std::memory_order_relaxed); }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<uint64_t> writeErrors_{0};
};

}  // namespace tallyhand::host
