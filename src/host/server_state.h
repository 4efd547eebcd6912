// Counters shared by every connection: open connections, body bytes held in memory,
// requests in flight, and the stop that waits for those requests to drain.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "host/settings.h"

namespace tallyhand::host {

class ServerState {
 public:
  // onDrained runs once, on whichever thread ends the last request after a stop began
  // (or on the stopping thread when nothing is in flight).
  ServerState(const Settings& settings, std::function<void()> onDrained)
      : maxConnections_(settings.maxConnections),
        maxBufferedBodies_(settings.maxBufferedBodies),
        onDrained_(std::move(onDrained)) {}

  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;

  bool TryOpenConnection() {
    if (connections_.fetch_add(1) >= maxConnections_) {
      connections_.fetch_sub(1);
      return false;
    }
    return true;
  }
  void CloseConnection() { connections_.fetch_sub(1); }

  bool TryReserveBody(uint64_t bytes) {
    uint64_t held = bufferedBodies_.load(std::memory_order_relaxed);
    do {
      if (bytes > maxBufferedBodies_ - held) return false;
    } while (!bufferedBodies_.compare_exchange_weak(held, held + bytes));
    return true;
  }
  void ReleaseBody(uint64_t bytes) { bufferedBodies_.fetch_sub(bytes); }

  // Counts a request as in flight; false once a stop has begun (the request is not
  // served). The count goes up before the flag is read and the stop sets the flag
  // before it reads the count, so one of the two always sees the other.
  bool TryBeginRequest() {
    inFlight_.fetch_add(1);
    if (stopping_.load()) {
      EndRequest();
      return false;
    }
    return true;
  }
  void EndRequest() {
    if (inFlight_.fetch_sub(1) == 1 && stopping_.load()) FireDrained();
  }

  void BeginStop() {
    stopping_.store(true);
    if (inFlight_.load() == 0) FireDrained();
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
};

}  // namespace tallyhand::host
