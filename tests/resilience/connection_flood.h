// Many client connections at once, as a flood of clients makes them: opened without
// waiting (the kernel completes the handshake even while the server accepts nothing),
// held open, and closed together.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace tallyhand::resilience {

// A non-blocking socket connecting to 127.0.0.1:port; -1 when no socket could be made.
inline int StartConnecting(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class ConnectionFlood {
 public:
  explicit ConnectionFlood(uint16_t port) : port_(port) {}
  ~ConnectionFlood() { CloseAll(); }
  ConnectionFlood(const ConnectionFlood&) = delete;
  ConnectionFlood& operator=(const ConnectionFlood&) = delete;

  // Opens count more connections; how many could be started.
  std::size_t Open(std::size_t count) {
    std::size_t opened = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const int fd = StartConnecting(port_);
      if (fd < 0) continue;
      fds_.push_back(fd);
      ++opened;
    }
    return opened;
  }
  std::vector<int>& Sockets() { return fds_; }
  std::size_t Size() const { return fds_.size(); }
  void CloseAll() {
    for (const int fd : fds_) ::close(fd);
    fds_.clear();
  }

 private:
  uint16_t port_;
  std::vector<int> fds_;
};

}  // namespace tallyhand::resilience
