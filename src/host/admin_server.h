// The admin listener: /metrics, /healthz and /readyz on an address of its own, served
// by one thread with a loop of its own, so that probes and scrapes never take an io
// thread of the clients or a worker of the extension.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <string_view>
#include <memory>
#include <string>
#include <thread>

#include "host/metrics_page.h"
#include "host/readiness_probe.h"
#include "host/settings.h"

namespace tallyhand::host {

class AdminServer {
 public:
  AdminServer(const Settings& settings, const FigureSources& sources);
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Binds and listens; false with the reason (naming the call) on failure.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;
  // Starts the admin thread.
  void Start();
  // Ends the admin thread and waits for a readiness check in progress; afterwards
  // nothing calls into the module.
  void Stop();

  // Each request's answer, status line to body (the loop's thread only).
  void Answer(std::string_view method, std::string_view target, bool keepAlive,
              std::function<void(std::string)> send);

  static constexpr std::chrono::milliseconds kReadyCacheInterval{1000};
  // Admin connections open at once; further ones are closed at once.
  static constexpr unsigned kMaxConnections = 64;
  static constexpr unsigned kHeaderLimit = 8192;

  const Settings& HostSettings() const { return settings_; }
  bool TryOpenConnection();
  void CloseConnection() { --connections_; }

 private:
  void Accept();

  const Settings& settings_;
  const ServerState& state_;
  unsigned connections_ = 0;  // the loop's thread only; outlives the sessions
  boost::asio::io_context loop_{1};
  boost::asio::ip::tcp::acceptor acceptor_{loop_};
  MetricsPage metrics_;
  ReadinessProbe readiness_;
  std::thread thread_;
};

}  // namespace tallyhand::host
