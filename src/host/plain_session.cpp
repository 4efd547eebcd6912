// The steps of an HTTP session that are particular to a plain TCP stream.
#include <sys/socket.h>

#include <cerrno>

#include "host/http_session.h"

namespace tallyhand::host {

template <>
void HttpSession<PlainStream>::Begin() {
  ReadRequest();
}

template <>
std::size_t HttpSession<PlainStream>::SendWithoutWaiting(std::string_view bytes) {
  const int fd = TcpLayer().socket().native_handle();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return sent;
}

template <>
void HttpSession<PlainStream>::EndStream(bool linger) {
  if (linger) {
    DrainInput();
  } else {
    ShutdownSend();
  }
}

void StartPlainSession(boost::asio::ip::tcp::socket&& socket, const HostContext& host) {
  std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), host)->Start();
}

}  // namespace tallyhand::host
