// Accepts connections and gives each a session of its own, within the connection limit.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>

#include "host/http_session.h"

namespace tallyhand::host {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(boost::asio::io_context& ioc, const HostContext& host);

  // Opens, binds and listens; false with the reason (naming the call) on failure.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;

  void Run();
  // Stops accepting; callable from any thread.
  void Stop();

 private:
  void Accept();
  void OnAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);

  boost::asio::io_context& ioc_;
  const HostContext host_;
  boost::asio::ip::tcp::acceptor acceptor_;
  // Waits a moment after an accept error (such as running out of descriptors), so
  // that the loop does not spin.
  boost::asio::steady_timer retryTimer_;
};

}  // namespace tallyhand::host
