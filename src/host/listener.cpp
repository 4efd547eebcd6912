#include "host/listener.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <chrono>

namespace tallyhand::host {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

namespace {
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
}

Listener::Listener(net::io_context& ioc, ServerState& state, SessionStarter startSession)
    : ioc_(ioc),
      state_(state),
      startSession_(std::move(startSession)),
      acceptor_(net::make_strand(ioc)), retryTimer_(acceptor_.get_executor()) {}

bool Listener::Open(const tcp::endpoint& endpoint, std::string& error) {
  beast::error_code ec;
  auto fail = [&](const char* call) {
    error = std::string(call) + " failed: " + ec.message();
    return false;
  };
  acceptor_.open(endpoint.protocol(), ec);
  if (ec) return fail("socket");
  acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (ec) return fail("setsockopt(SO_REUSEADDR)");
  acceptor_.bind(endpoint, ec);
  if (ec) return fail("bind");
  acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return fail("listen");
  return true;
}

tcp::endpoint Listener::LocalEndpoint() const {
  beast::error_code ec;
  return acceptor_.local_endpoint(ec);
}

void Listener::Run() {
  net::dispatch(acceptor_.get_executor(),
                beast::bind_front_handler(&Listener::Accept, shared_from_this()));
}

void Listener::Stop() {
  net::post(acceptor_.get_executor(), [self = shared_from_this()] {
    beast::error_code ec;
    self->acceptor_.close(ec);
    self->retryTimer_.cancel();
  });
}

void Listener::Accept() {
  if (!acceptor_.is_open()) return;
  // Each connection gets a strand of its own.
  acceptor_.async_accept(net::make_strand(ioc_),
                         beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
}

void Listener::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec) {
    retryTimer_.expires_after(kAcceptRetryDelay);
    retryTimer_.async_wait([self = shared_from_this()](beast::error_code waitError) {
      if (!waitError) self->Accept();
    });
    return;
  }
  if (state_.TryOpenConnection()) {
    startSession_(std::move(socket));
  } else {
    // Over the connection limit: closed at once, before any byte is read.
    beast::error_code closeError;
    socket.close(closeError);
  }
  Accept();
}

}  // namespace tallyhand::host
