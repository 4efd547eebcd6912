// Connections to one Redis server, shared by the request threads: one connection serves
// one command at a time, so each thread takes an idle one (or opens one) per command.
// Every command, the opening of its connection included, ends within the timeout; a
// connection that failed is dropped, and the next command opens a fresh one. Writing to
// a connection the server closed raises SIGPIPE, which the process must ignore (the
// host does).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;
struct redisReply;

namespace tallyhand {

struct RedisEndpoint {
  std::string server;
  std::uint16_t port = 6379;
  int database = 0;
  std::string password;  // empty: no AUTH
  std::chrono::milliseconds timeout{2000};
};

struct RedisReplyFree {
  void operator()(redisReply* reply) const;
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

class RedisConnectionPool {
 public:
  explicit RedisConnectionPool(RedisEndpoint endpoint);
  ~RedisConnectionPool();
  RedisConnectionPool(const RedisConnectionPool&) = delete;
  RedisConnectionPool& operator=(const RedisConnectionPool&) = delete;

  // Sends one command and returns the reply, an error reply included. Raises
  // EKeyStoreUnavailable when the server cannot be reached or does not answer in time.
  RedisReply Run(const std::vector<std::string_view>& arguments);

  const RedisEndpoint& Endpoint() const { return endpoint_; }

 private:
  struct Connection;
  struct ConnectionClose {
    void operator()(Connection* connection) const;
  };
  using ConnectionPtr = std::unique_ptr<Connection, ConnectionClose>;
  using Deadline = std::chrono::steady_clock::time_point;

  ConnectionPtr TakeIdle();
  ConnectionPtr Open(Deadline deadline);
  // The reply, or nullptr when the connection failed (its context says why).
  RedisReply Send(Connection& connection, const std::vector<std::string_view>& arguments,
                  Deadline deadline);
  void GiveBack(ConnectionPtr connection);
  [[noreturn]] void Fail(std::string_view what, Deadline deadline) const;

  const RedisEndpoint endpoint_;
  std::mutex mutex_;
  std::vector<ConnectionPtr> idle_;
};

}  // namespace tallyhand
