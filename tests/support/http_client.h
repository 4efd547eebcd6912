// A small blocking HTTP/1.1 client over one TCP connection, for black-box tests that
// check bytes exactly: it sends raw bytes and reads whole responses (framed by
// Content-Length, chunked coding or the end of the connection), always with a timeout.
// The bytes cross the socket as they are; tls_client.h encrypts them instead.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallyhand::testsupport {

using namespace std::chrono_literals;

struct HttpResponse {
  std::string raw;         // every byte of the response, as received
  std::string statusLine;  // without the line break
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name (letter case ignored).
  std::optional<std::string> Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (key.size() != name.size()) continue;
      bool same = true;
      for (size_t i = 0; i < key.size() && same; ++i) {
        same = std::tolower(static_cast<unsigned char>(key[i])) ==
               std::tolower(static_cast<unsigned char>(name[i]));
      }
      if (same) return value;
    }
    return std::nullopt;
  }
};

class HttpConnection {
 public:
  explicit HttpConnection(uint16_t port, const std::string& address = "127.0.0.1",
                          std::chrono::milliseconds timeout = 5s) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
      Close();
      return;
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      int error = errno;
      if (error == EINPROGRESS && WaitFor(POLLOUT, timeout)) {
        socklen_t length = sizeof error;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
      }
      if (error != 0) {
        Close();
        return;
      }
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  virtual ~HttpConnection() { Close(); }
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool Connected() const { return fd_ >= 0; }

  // Sends every byte; false when the connection fails or stays blocked past the timeout.
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout = 10s) {
    while (!bytes.empty()) {
      if (fd_ < 0) return false;
      short waitFor = 0;
      ssize_t n = SendSome(bytes.data(), bytes.size(), waitFor);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && waitFor != 0 && WaitFor(waitFor, timeout)) continue;
      return false;
    }
    return true;
  }

  // Reads one whole response; nullopt when the connection ends first or time runs out.
  // A response to HEAD carries no body, whatever its header says.
  std::optional<HttpResponse> ReadResponse(std::chrono::milliseconds timeout = 10s,
                                           bool toHead = false) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t headerEnd;
    while ((headerEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (ReadMore(deadline) != ReadResult::Data) return std::nullopt;
    }
    HttpResponse response;
    if (!ParseHead(std::string_view(pending_).substr(0, headerEnd + 2), response)) return std::nullopt;
    size_t consumed = headerEnd + 4;
    bool noBody = toHead || response.status / 100 == 1 || response.status == 204 ||
                  response.status == 304;
    if (noBody) {
      // nothing more
    } else if (auto length = response.Header("Content-Length")) {
      size_t size = std::strtoull(length->c_str(), nullptr, 10);
      while (pending_.size() < consumed + size) {
        if (ReadMore(deadline) != ReadResult::Data) return std::nullopt;
      }
      response.body = pending_.substr(consumed, size);
      consumed += size;
    } else if (auto coding = response.Header("Transfer-Encoding");
               coding && coding->find("chunked") != std::string::npos) {
      if (!ReadChunkedBody(consumed, response.body, deadline)) return std::nullopt;
    } else {
      for (;;) {
        ReadResult result = ReadMore(deadline);
        if (result == ReadResult::Closed) break;
        if (result != ReadResult::Data) return std::nullopt;
      }
      response.body = pending_.substr(consumed);
      consumed = pending_.size();
    }
    response.raw = pending_.substr(0, consumed);
    pending_.erase(0, consumed);
    return response;
  }

  // Every byte until the peer closes the connection; nullopt on timeout.
  std::optional<std::string> ReadUntilClose(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      ReadResult result = ReadMore(deadline);
      if (result == ReadResult::Closed) break;
      if (result != ReadResult::Data) return std::nullopt;
    }
    std::string bytes = std::move(pending_);
    pending_.clear();
    return bytes;
  }

  // True when the peer closes (or resets) the connection within the timeout; any
  // bytes it sent first are kept for ReceivedBytes.
  bool ClosedByPeer(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      ReadResult result = ReadMore(deadline);
      if (result == ReadResult::Closed) return true;
      if (result != ReadResult::Data) return false;
    }
  }

  // Bytes received but not yet taken by a read call.
  const std::string& ReceivedBytes() const { return pending_; }

  void ShutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 protected:
  // Move bytes across the connection: the count moved, 0 when the peer closed, or -1
  // with waitFor set to the poll events to wait for (left 0 when the connection failed).
  virtual ssize_t SendSome(const char* data, size_t size, short& waitFor) {
    for (;;) {
      ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) waitFor = POLLOUT;
      return -1;
    }
  }
  virtual ssize_t ReceiveSome(char* data, size_t size, short& waitFor) {
    for (;;) {
      ssize_t n = ::recv(fd_, data, size, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) waitFor = POLLIN;
      return -1;
    }
  }

  int Descriptor() const { return fd_; }

  bool WaitFor(short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd_, events, 0};
    for (;;) {
      int ready = ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, timeout.count())));
      if (ready < 0 && errno == EINTR) continue;
      return ready > 0;
    }
  }

  enum class ReadResult { Data, Closed, Timeout };

  // Appends what arrives before the deadline; a reset counts as the end of the connection.
  ReadResult ReadMore(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return ReadResult::Closed;
    for (;;) {
      char chunk[16384];
      short waitFor = 0;
      ssize_t n = ReceiveSome(chunk, sizeof chunk, waitFor);
      if (n > 0) {
        pending_.append(chunk, static_cast<size_t>(n));
        return ReadResult::Data;
      }
      if (n == 0 || waitFor == 0) return ReadResult::Closed;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !WaitFor(waitFor, left)) return ReadResult::Timeout;
    }
  }

 private:

  static bool ParseHead(std::string_view head, HttpResponse& response) {
    size_t lineEnd = head.find("\r\n");
    response.statusLine = std::string(head.substr(0, lineEnd));
    if (response.statusLine.size() < 12 || response.statusLine.compare(0, 5, "HTTP/") != 0) {
      return false;
    }
    response.status = std::atoi(response.statusLine.c_str() + 9);
    head.remove_prefix(lineEnd + 2);
    while (!head.empty()) {
      size_t end = head.find("\r\n");
      std::string_view line = head.substr(0, end);
      head.remove_prefix(end == std::string_view::npos ? head.size() : end + 2);
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return true;
  }

  bool ReadChunkedBody(size_t& offset, std::string& body,
                       std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      size_t lineEnd;
      while ((lineEnd = pending_.find("\r\n", offset)) == std::string::npos) {
        if (ReadMore(deadline) != ReadResult::Data) return false;
      }
      size_t size = std::strtoull(pending_.c_str() + offset, nullptr, 16);
      offset = lineEnd + 2;
      if (size == 0) {
        // Trailer section: lines until an empty one.
        for (;;) {
          while ((lineEnd = pending_.find("\r\n", offset)) == std::string::npos) {
            if (ReadMore(deadline) != ReadResult::Data) return false;
          }
          bool empty = lineEnd == offset;
          offset = lineEnd + 2;
          if (empty) return true;
        }
      }
      while (pending_.size() < offset + size + 2) {
        if (ReadMore(deadline) != ReadResult::Data) return false;
      }
      body.append(pending_, offset, size);
      offset += size + 2;
    }
  }

  int fd_ = -1;
  std::string pending_;
};

// One request on a fresh connection; nullopt when no whole response comes back.
inline std::optional<HttpResponse> HttpExchange(uint16_t port, std::string_view request,
                                                std::chrono::milliseconds timeout = 10s) {
  HttpConnection connection(port);
  if (!connection.Connected() || !connection.Send(request)) return std::nullopt;
  return connection.ReadResponse(timeout);
}

}  // namespace tallyhand::testsupport
