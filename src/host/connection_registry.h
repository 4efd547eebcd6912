// Every open connection, so that a stop can reach the ones that wait idle for their next
// request: left alone they would hold the stop up to the idle timeout, and a balancer
// would keep sending them requests.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tallyhand::host {

class ConnectionRegistry {
 public:
  class Connection {
   public:
    // Called from any thread once the stop has begun; closes the connection when it is
    // idle, else lets it close after its answer.
    virtual void CloseIfIdle() = 0;

   protected:
    ~Connection() = default;
  };

  void Add(Connection* connection, std::weak_ptr<Connection> owner) {
    std::lock_guard lock(mutex_);
    connections_.emplace(connection, std::move(owner));
  }
  void Remove(Connection* connection) {
    std::lock_guard lock(mutex_);
    connections_.erase(connection);
  }

  void CloseIdle() {
    std::vector<std::shared_ptr<Connection>> open;
    {
      std::lock_guard lock(mutex_);
      open.reserve(connections_.size());
      for (auto& [connection, owner] : connections_) {
        // A connection being destroyed no longer locks; it is closing anyway.
        if (auto alive = owner.lock()) open.push_back(std::move(alive));
      }
    }
    // Outside the lock: a connection released here may remove itself.
    for (auto& connection : open) connection->CloseIfIdle();
  }

 private:
  std::mutex mutex_;
  std::unordered_map<Connection*, std::weak_ptr<Connection>> connections_;
};

}  // namespace tallyhand::host
