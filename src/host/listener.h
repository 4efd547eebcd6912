// Accepts connections and gives each a session of its own, within the connection limit.
// What kind of session an accepted connection gets is up to the listener's owner.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <functional>
#include <memory>
#include <string>

#include "host/server_state.h"

namespace tallyhand::host {

// Starts a session on an accepted connection, which was already counted open; the
// socket's executor is a strand of its own.
using SessionStarter = std::function<void(boost::asio::ip::tcp::socket&&)>;

// Opens, binds (SO_REUSEADDR; SO_REUSEPORT too when reusePort, so that other processes
// may listen on the same port) and listens; false with the reason (naming the call).
bool OpenAcceptor(boost::asio::ip::tcp::acceptor& acceptor,
                  const boost::asio::ip::tcp::endpoint& endpoint, bool reusePort,
                  std::string& error);

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(boost::asio::io_context& ioc, ServerState& state, SessionStarter startSession);

  // Opens, binds and listens; false with the reason (naming the call) on failure.
  // reusePort: SO_REUSEPORT, so that other processes may listen on the same port.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, bool reusePort, std::string& error);
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;

  void Run();
  // Stops accepting, then calls closed on the listener's strand; callable from any
  // thread. The connections already waiting in the accept queue are taken and served
  // first: closing the listener would reset them.
  void Stop(std::function<void()> closed);

 private:
  void TakeQueuedConnections();
  void Serve(boost::asio::ip::tcp::socket socket);
  void Accept();
  void OnAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
  void RetryAcceptLater(boost::beast::error_code ec);

  boost::asio::io_context& ioc_;
  ServerState& state_;
  const SessionStarter startSession_;
  boost::asio::ip::tcp::acceptor acceptor_;
  // Waits a moment after an accept error (such as running out of descriptors), so
  // that the loop does not spin.
  boost::asio::steady_timer retryTimer_;
  // Set while accepting fails, so that an episode is reported once, not at every retry.
  bool acceptFailing_ = false;
};

}  // namespace tallyhand::host
