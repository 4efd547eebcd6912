// The steps of an HTTP session that are particular to a TLS stream.
#include <boost/asio/ssl/error.hpp>
#include <boost/system/system_error.hpp>
#include <optional>

#include "host/http_session.h"

namespace tallyhand::host {

namespace ssl = boost::asio::ssl;

template <>
void HttpSession<TlsStream>::Begin() {
  // The handshake counts against the header timeout from the accept. Plain HTTP or
  // other bytes that are no TLS record fail it at once; a silent client is closed when
  // the timeout ends, and during a stop counts as waiting for its first request.
  TcpLayer().expires_after(host_.settings.headerTimeout);
  waitingForRequest_ = true;
  stream_.async_handshake(ssl::stream_base::server, Handler(&HttpSession::OnHandshake));
}

template <>
void HttpSession<TlsStream>::OnHandshake(boost::beast::error_code ec) {
  waitingForRequest_ = false;
  if (ec) return OnStreamFailed(ec);
  ReadRequest();
}

template <>
std::size_t HttpSession<TlsStream>::SendWithoutWaiting(std::string_view) {
  // Encrypted bytes cannot be half-sent past the TLS layer; the write carries it all.
  return 0;
}

template <>
void HttpSession<TlsStream>::EndStream(bool linger) {
  // close_notify tells the client the answer is whole. Its own is awaited no longer than
  // the linger time; after that the TCP connection ends as a plain one does.
  TcpLayer().expires_after(host_.settings.lingerTimeout);
  stream_.async_shutdown([self = shared_from_this(), linger](boost::beast::error_code) {
    if (linger) {
      self->DrainInput();
    } else {
      self->ShutdownSend();
    }
  });
}

void StartTlsSession(boost::asio::ip::tcp::socket&& socket, const HostContext& host,
                     const TlsCertificates& certificates) {
  std::optional<TlsStream> stream;
  try {
    stream.emplace(std::move(socket), certificates.Current());
  } catch (const boost::system::system_error&) {
    // The TLS library could not make the connection's state (out of memory): the
    // connection closes unserved and is counted closed, as the session would do.
    host.state.CloseConnection();
    return;
  }
  std::make_shared<HttpSession<TlsStream>>(std::move(*stream), host)->Start();
}

}  // namespace tallyhand::host
