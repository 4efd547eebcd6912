// The kinds of stream a connection speaks HTTP over.
#pragma once

#include <boost/beast/ssl/ssl_stream.hpp>
#include <memory>

#include "host/beast_http.h"
#include "host/tls_context.h"

namespace tallyhand::host {

// HTTP straight over TCP.
using PlainStream = boost::beast::tcp_stream;

namespace detail {
// Held ahead of the stream, so that the context outlives the connection made from it.
struct HeldTlsContext {
  std::shared_ptr<TlsContext> context;
};
}  // namespace detail

// HTTP over TLS over TCP; the connection keeps the context it was accepted with.
class TlsStream : private detail::HeldTlsContext,
                  public boost::beast::ssl_stream<boost::beast::tcp_stream> {
 public:
  TlsStream(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<TlsContext> context)
      : detail::HeldTlsContext{std::move(context)},
        boost::beast::ssl_stream<boost::beast::tcp_stream>(std::move(socket), *this->context) {}
};

}  // namespace tallyhand::host
