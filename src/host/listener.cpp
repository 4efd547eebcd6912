#include "host/listener.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <chrono>
#include <cstdio>

namespace tallyhand::host {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

namespace {
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// Lets several processes listen on one port; the kernel spreads new connections over them.
using ReusePort = net::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;
}

Listener::Listener(net::io_context& ioc, ServerState& state, SessionStarter startSession)
    : ioc_(ioc),
      state_(state),
      startSession_(std::move(startSession)),
      acceptor_(net::make_strand(ioc)), retryTimer_(acceptor_.get_executor()) {}

bool OpenAcceptor(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, bool reusePort,
                  std::string& error) {
  beast::error_code ec;
  auto fail = [&](const char* call) {
    error = std::string(call) + " failed: " + ec.message();
    return false;
  };
  acceptor.open(endpoint.protocol(), ec);
  if (ec) return fail("socket");
  acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (ec) return fail("setsockopt(SO_REUSEADDR)");
  if (reusePort) {
    acceptor.set_option(ReusePort(true), ec);
    if (ec) return fail("setsockopt(SO_REUSEPORT)");
  }
  acceptor.bind(endpoint, ec);
  if (ec) return fail("bind");
  acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return fail("listen");
  return true;
}

bool Listener::Open(const tcp::endpoint& endpoint, bool reusePort, std::string& error) {
  return OpenAcceptor(acceptor_, endpoint, reusePort, error);
}

tcp::endpoint Listener::LocalEndpoint() const {
  beast::error_code ec;
  return acceptor_.local_endpoint(ec);
}

void Listener::Run() {
  net::dispatch(acceptor_.get_executor(),
                beast::bind_front_handler(&Listener::Accept, shared_from_this()));
}

void Listener::Stop(std::function<void()> closed) {
  net::post(acceptor_.get_executor(), [self = shared_from_this(), closed = std::move(closed)] {
    self->TakeQueuedConnections();
    beast::error_code ec;
    self->acceptor_.close(ec);
    self->retryTimer_.cancel();
    closed();
  });
}

void Listener::TakeQueuedConnections() {
  beast::error_code ec;
  acceptor_.cancel(ec);
  acceptor_.non_blocking(true, ec);
  if (ec) return;
  for (;;) {
    tcp::socket socket(net::make_strand(ioc_));
    acceptor_.accept(socket, ec);
    if (ec) return;  // the queue is empty
    Serve(std::move(socket));
  }
}

void Listener::Serve(tcp::socket socket) {
  if (state_.TryOpenConnection()) {
    startSession_(std::move(socket));
  } else {
    // Over the connection limit: closed at once, before any byte is read.
    state_.Figures().CountRefusal(Refusal::ConnectionLimit);
    beast::error_code closeError;
    socket.close(closeError);
  }
}

void Listener::Accept() {
  if (!acceptor_.is_open()) return;
  // Each connection gets a strand of its own.
  acceptor_.async_accept(net::make_strand(ioc_),
                         beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
}

void Listener::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (ec == net::error::operation_aborted) return;
  if (ec) {
    if (!acceptor_.is_open()) return;
    // A client that gave up while still queued: the next one may be waiting already.
    if (ec == net::error::connection_aborted) return Accept();
    return RetryAcceptLater(ec);
  }
  if (acceptFailing_) {
    acceptFailing_ = false;
    std::fprintf(stderr, "tallyhand-server: accepting connections again\n");
  }
  // Accepted just before a stop closed the listener: still served.
  Serve(std::move(socket));
  Accept();
}

void Listener::RetryAcceptLater(beast::error_code ec) {
  // Out of descriptors (or memory), accept fails at once for as long as the condition
  // lasts; retrying at once would spin. Queued clients wait in the backlog meanwhile,
  // and the connections already open go on being served.
  if (!acceptFailing_) {
    acceptFailing_ = true;
    std::fprintf(stderr, "tallyhand-server: accept failed: %s; retrying every %lld ms\n",
                 ec.message().c_str(), static_cast<long long>(kAcceptRetryDelay.count()));
  }
  retryTimer_.expires_after(kAcceptRetryDelay);
  retryTimer_.async_wait([self = shared_from_this()](beast::error_code waitError) {
    if (!waitError) self->Accept();
  });
}

}  // namespace tallyhand::host
