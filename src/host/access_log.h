// The optional access log: one line per answered request, in the common log format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

namespace tallyhand::host {

class AccessLog {
 public:
  AccessLog() = default;
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // Opens the file for appending; false (with the reason) when it cannot.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }

  // Callable from any thread; stdio serialises the lines.
  void Write(const boost::asio::ip::address& client, std::string_view method,
             std::string_view target, unsigned version, unsigned status, uint64_t bytes);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace tallyhand::host
