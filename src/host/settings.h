// Every limit and timeout of the host, each with its default in this one place.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tallyhand::host {

struct Settings {
  // The extension module to load (a path; a bare file name is taken as "./NAME").
  std::string modulePath;
  // Address and port to listen on; port 0 binds a free port.
  std::string listenAddress = "0.0.0.0";
  uint16_t port = 0;
  bool portGiven = false;
  // SO_REUSEPORT: several server processes share the port (one can start before another
  // stops, for a restart without a gap).
  bool reusePort = false;
  // URL prefix the module is mounted at; empty mounts it at the root. A request whose
  // path does not start with it (letter case ignored) is answered 404 by the host.
  std::string mountPrefix;
  // Threads that run the network loop.
  unsigned ioThreads = 2;
  // Body bytes handed to the extension in lpbData up front, as the Windows server does;
  // the rest is read with ReadClient.
  uint32_t readAhead = 49152;
  // Largest request body accepted (413 beyond). Bounded by the 32-bit cbTotalBytes.
  uint64_t maxBody = 30000000;
  // Body bytes held in memory for all connections together (503 beyond), so that many
  // concurrent uploads cannot exhaust memory.
  uint64_t maxBufferedBodies = 512ull * 1024 * 1024;
  // Largest request line plus header block (431 beyond).
  uint32_t headerLimit = 16 * 1024;
  // Time a client has to send the whole request header once it has started one (and
  // for the first request of a connection, from the accept).
  std::chrono::seconds headerTimeout{10};
  // Time allowed between two successive reads of a request body.
  std::chrono::seconds bodyTimeout{30};
  // Time a kept-alive connection may wait for its next request.
  std::chrono::seconds idleTimeout{60};
  // Time allowed to write one response.
  std::chrono::seconds sendTimeout{30};
  // Time spent discarding a client's unread input after an error answer, so that the
  // answer is not lost to a connection reset.
  std::chrono::seconds lingerTimeout{2};
  // Input bytes discarded at most while lingering.
  uint64_t lingerMaxBytes = 1024 * 1024;
  // Open connections beyond which new ones are closed at once.
  uint64_t maxConnections = 10000;
  // On SIGTERM/SIGINT, how long a connection that has not sent its first request yet may
  // take to start it (it may be on its way); kept-alive idle connections close at once.
  std::chrono::milliseconds firstRequestGraceAtStop{1000};
  // On SIGTERM/SIGINT, how long requests in flight may take to finish before the host
  // stops anyway (longer than the extension's own 120-second worker stop).
  std::chrono::seconds shutdownGrace{150};
  // PEM certificate (with its chain) and key: both given, the --port listener speaks
  // HTTPS only; SIGHUP reads them again.
  std::string tlsCertificatePath;
  std::string tlsKeyPath;
  bool Tls() const { return !tlsCertificatePath.empty(); }
  // The admin listener (metrics and probes), off unless an address is given; port 0
  // binds a free port.
  std::string adminAddress;
  uint16_t adminPort = 0;
  // Optional access log file (one line per answered request); empty: none.
  std::string accessLogPath;
};

}  // namespace tallyhand::host
