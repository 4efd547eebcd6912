#include "clock/redis_connection_pool.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "clock/key_store.h"
#include "log/error_log.h"

namespace tallyhand {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

timeval ToTimeval(milliseconds duration) {
  // A zero timeout would mean "wait for ever" to the socket.
  const milliseconds at = std::max(duration, milliseconds(1));
  return timeval{static_cast<time_t>(at.count() / 1000), static_cast<suseconds_t>(at.count() % 1000 * 1000)};
}

milliseconds Remaining(Clock::time_point deadline) {
  return std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
}

std::string SecondsText(milliseconds duration) {
  std::string text = std::to_string(duration.count() / 1000);
  if (const auto fraction = duration.count() % 1000; fraction != 0) {
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text + " s";
}

bool IsTimeoutText(const char* text) {
  return std::strcmp(text, std::strerror(EAGAIN)) == 0 || std::strcmp(text, std::strerror(ETIMEDOUT)) == 0 ||
         std::strcmp(text, std::strerror(EINPROGRESS)) == 0;
}

}  // namespace

void RedisReplyFree::operator()(redisReply* reply) const { freeReplyObject(reply); }

struct RedisConnectionPool::Connection {
  redisContext* context = nullptr;
  // Opened by the current command: its socket waits only as long as that command has
  // left, and gets the full timeout back when it joins the pool.
  bool fresh = true;
};

void RedisConnectionPool::ConnectionClose::operator()(Connection* connection) const {
  if (connection->context != nullptr) redisFree(connection->context);
  delete connection;
}

RedisConnectionPool::RedisConnectionPool(RedisEndpoint endpoint) : endpoint_(std::move(endpoint)) {}

RedisConnectionPool::~RedisConnectionPool() = default;

RedisReply RedisConnectionPool::Run(const std::vector<std::string_view>& arguments) {
  const Deadline deadline = Clock::now() + endpoint_.timeout;
  if (ConnectionPtr pooled = TakeIdle()) {
    if (RedisReply reply = Send(*pooled, arguments, deadline)) {
      GiveBack(std::move(pooled));
      return reply;
    }
    // A connection the server closed while it lay idle (a restart, a failover, a dropped
    // client) fails at once: the command goes once more on a new one. One that timed out
    // does not, since the server may have run the command.
    const std::string error = pooled->context->errstr;
    if (Clock::now() >= deadline || IsTimeoutText(error.c_str())) Fail(error, deadline);
  }
  ConnectionPtr connection = Open(deadline);
  RedisReply reply = Send(*connection, arguments, deadline);
  if (!reply) Fail(connection->context->errstr, deadline);
  GiveBack(std::move(connection));
  return reply;
}

RedisConnectionPool::ConnectionPtr RedisConnectionPool::TakeIdle() {
  std::lock_guard lock(mutex_);
  if (idle_.empty()) return nullptr;
  ConnectionPtr connection = std::move(idle_.back());
  idle_.pop_back();
  return connection;
}

RedisConnectionPool::ConnectionPtr RedisConnectionPool::Open(Deadline deadline) {
  ConnectionPtr connection(new Connection);
  connection->context = redisConnectWithTimeout(endpoint_.server.c_str(), endpoint_.port,
                                                ToTimeval(Remaining(deadline)));
  if (connection->context == nullptr) Fail("out of memory", deadline);
  if (connection->context->err != 0) Fail(connection->context->errstr, deadline);
  const auto expectOk = [&](const std::vector<std::string_view>& command) {
    const RedisReply reply = Send(*connection, command, deadline);
    if (!reply) Fail(connection->context->errstr, deadline);
    if (reply->type == REDIS_REPLY_ERROR) {
      Fail(std::string(command[0]) + " refused: " + std::string(reply->str, reply->len), deadline);
    }
  };
  if (!endpoint_.password.empty()) expectOk({"AUTH", endpoint_.password});
  if (endpoint_.database != 0) expectOk({"SELECT", std::to_string(endpoint_.database)});
  return connection;
}

RedisReply RedisConnectionPool::Send(Connection& connection,
                                     const std::vector<std::string_view>& arguments,
                                     Deadline deadline) {
  redisContext* context = connection.context;
  if (connection.fresh) {
    const milliseconds left = Remaining(deadline);
    if (left.count() <= 0) Fail("no time left", deadline);
    if (redisSetTimeout(context, ToTimeval(left)) != REDIS_OK) Fail(context->errstr, deadline);
  }
  std::vector<const char*> values;
  std::vector<std::size_t> lengths;
  values.reserve(arguments.size());
  lengths.reserve(arguments.size());
  for (const std::string_view argument : arguments) {
    values.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  return RedisReply(static_cast<redisReply*>(
      redisCommandArgv(context, static_cast<int>(values.size()), values.data(), lengths.data())));
}

void RedisConnectionPool::GiveBack(ConnectionPtr connection) {
  if (connection->fresh) {
    if (redisSetTimeout(connection->context, ToTimeval(endpoint_.timeout)) != REDIS_OK) return;
    connection->fresh = false;
  }
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(connection));
}

void RedisConnectionPool::Fail(std::string_view what, Deadline deadline) const {
  const bool timedOut = Clock::now() >= deadline || IsTimeoutText(std::string(what).c_str());
  const std::string reason = timedOut ? "no answer within " + SecondsText(endpoint_.timeout) : std::string(what);
  // The answer names the store; the log also says where it was looked for.
  EventLog().AddToLog("Session key store: Redis at " + endpoint_.server + ":" + std::to_string(endpoint_.port) +
                      ": " + reason);
  throw EKeyStoreUnavailable("Session key store (Redis) unreachable: " + reason);
}

}  // namespace tallyhand
