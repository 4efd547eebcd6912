// Counters shared by every connection: open connections, body bytes held in memory,
// requests in flight, and the stop that waits for the connections to drain.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "host/connection_registry.h"
#include "host/request_figures.h"
#include "host/settings.h"

namespace tallyhand::host {

class ServerState {
 public:
  // onDrained runs once, on whichever thread closes the last connection after a stop
  // began (or on the stopping thread when none is open).
  // actionCount: the actions the request figures count answers under.
  ServerState(const Settings& settings, std::size_t actionCount, std::function<void()> onDrained)
      : maxConnections_(settings.maxConnections),
        maxBufferedBodies_(settings.maxBufferedBodies),
        onDrained_(std::move(onDrained)),
        figures_(actionCount) {}

  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;

  // False over the limit, and once the stop has drained (the loop is ending).
  bool TryOpenConnection() {
    if (connections_.fetch_add(1) >= maxConnections_ || drainedFired_.load()) {
      connections_.fetch_sub(1);
      return false;
    }
    return true;
  }
  void CloseConnection() {
    if (connections_.fetch_sub(1) == 1 && stopping_.load()) FireDrained();
  }
  ConnectionRegistry& Connections() { return registry_; }
  uint64_t ConnectionsOpen() const { return connections_.load(std::memory_order_relaxed); }
  RequestFigures& Figures() { return figures_; }
  const RequestFigures& Figures() const { return figures_; }

  bool TryReserveBody(uint64_t bytes) {
    uint64_t held = bufferedBodies_.load(std::memory_order_relaxed);
    do {
      if (bytes > maxBufferedBodies_ - held) return false;
    } while (!bufferedBodies_.compare_exchange_weak(held, held + bytes));
    return true;
  }
  void ReleaseBody(uint64_t bytes) { bufferedBodies_.fetch_sub(bytes); }

  // A request that reached an open connection is served, also during a stop: the
  // connection closes after answering it.
  void BeginRequest() { inFlight_.fetch_add(1); }
  void EndRequest() { inFlight_.fetch_sub(1); }

  // Idle connections close at once, the others after their answer; the stop has
  // drained when the last one has closed. The flag is set before the count is read and
  // a closing connection lowers the count before it reads the flag, so one of the two
  // always sees the other.
  void BeginStop() {
    stopping_.store(true);
    registry_.CloseIdle();
    if (connections_.load() == 0) FireDrained();
  }
  bool Stopping() const { return stopping_.load(std::memory_order_relaxed); }
  int64_t RequestsInFlight() const { return inFlight_.load(); }

 private:
  void FireDrained() {
    if (!drainedFired_.exchange(true)) onDrained_();
  }

  const uint64_t maxConnections_;
  const uint64_t maxBufferedBodies_;
  const std::function<void()> onDrained_;
  std::atomic<uint64_t> connections_{0};
  std::atomic<uint64_t> bufferedBodies_{0};
  std::atomic<int64_t> inFlight_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> drainedFired_{false};
  ConnectionRegistry registry_;
  RequestFigures figures_;
};

}  // namespace tallyhand::host
