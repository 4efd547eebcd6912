#include "host/access_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tallyhand::host {

AccessLog::~AccessLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool AccessLog::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    error = "cannot open access log \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  // One line reaches the file whole, even when the host is stopped by a signal.
  std::setvbuf(file_, nullptr, _IOLBF, 1 << 16);
  return true;
}

void AccessLog::Write(const boost::asio::ip::address& client, std::string_view method,
                      std::string_view target, unsigned version, unsigned status, uint64_t bytes) {
  if (file_ == nullptr) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S %z", &local);
  // Control characters in the target could forge log lines; the line shows them as '?'.
  std::string cleanTarget(target);
  for (char& c : cleanTarget) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == 0x7f) c = '?';
  }
  std::string address = client.to_string();
  std::fprintf(file_, "%s - - [%s] \"%.*s %s HTTP/%u.%u\" %u %llu\n", address.c_str(), stamp,
               static_cast<int>(method.size()), method.data(), cleanTarget.c_str(), version / 10,
               version % 10, status, static_cast<unsigned long long>(bytes));
}

}  // namespace tallyhand::host
