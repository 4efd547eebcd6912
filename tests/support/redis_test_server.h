// The Redis server that scripts/redis-test-server.sh started, as the tests see it: its
// settings from the environment, direct commands outside the store, and the lock that
// keeps a test stopping the server away from the others. Header-only.
#pragma once

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <sys/file.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tallyhand::testsupport {

struct RedisSettings {
  std::string host, port, password, conf, pidFile, lockFile;
};

// The settings from TALLYHAND_REDIS_*; nullopt with why set when the server is not there.
inline std::optional<RedisSettings> ReadRedisSettings(std::string& why) {
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
  };
  RedisSettings s{env("TALLYHAND_REDIS_HOST"), env("TALLYHAND_REDIS_PORT"), env("TALLYHAND_REDIS_PASSWORD"),
                  env("TALLYHAND_REDIS_CONF"), env("TALLYHAND_REDIS_PID_FILE"),
                  env("TALLYHAND_REDIS_LOCK_FILE")};
  if (s.host.empty() || s.port.empty()) {
    why = "TALLYHAND_REDIS_HOST and TALLYHAND_REDIS_PORT are not set: the Redis tests need the test "
          "server. Start it with 'scripts/redis-test-server.sh start', then source its settings "
          "('. /tmp/tallyhand-redis/env') before running the tests.";
    return std::nullopt;
  }
  return s;
}

struct RedisReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using TestRedisReply = std::unique_ptr<redisReply, RedisReplyDeleter>;

class RedisTestServer {
 public:
  // exclusive: the test stops the server; others wait meanwhile.
  RedisTestServer(const RedisSettings& settings, bool exclusive) : settings_(settings) {
    if (!settings_.lockFile.empty()) {
      lockFd_ = ::open(settings_.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (lockFd_ >= 0) ::flock(lockFd_, exclusive ? LOCK_EX : LOCK_SH);
    }
  }
  ~RedisTestServer() {
    if (lockFd_ >= 0) ::close(lockFd_);
  }
  RedisTestServer(const RedisTestServer&) = delete;
  RedisTestServer& operator=(const RedisTestServer&) = delete;

  const RedisSettings& Settings() const { return settings_; }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(std::stoi(settings_.port)); }

  // One command on a fresh connection (authenticated, in the given database); nullptr
  // when the server does not answer.
  TestRedisReply Command(const std::vector<std::string>& arguments, int database = 0) const {
    const timeval timeout{5, 0};
    std::unique_ptr<redisContext, decltype(&redisFree)> context(
        redisConnectWithTimeout(settings_.host.c_str(), Port(), timeout), &redisFree);
    if (!context || context->err != 0) return nullptr;
    redisSetTimeout(context.get(), timeout);
    const auto send = [&](const std::vector<std::string>& args) {
      std::vector<const char*> values;
      std::vector<size_t> lengths;
      for (const std::string& arg : args) {
        values.push_back(arg.data());
        lengths.push_back(arg.size());
      }
      return TestRedisReply(static_cast<redisReply*>(
          redisCommandArgv(context.get(), static_cast<int>(args.size()), values.data(), lengths.data())));
    };
    if (!settings_.password.empty() && !send({"AUTH", settings_.password})) return nullptr;
    if (database != 0 && !send({"SELECT", std::to_string(database)})) return nullptr;
    return send(arguments);
  }
  long long Integer(const std::vector<std::string>& arguments, int database = 0) const {
    const TestRedisReply reply = Command(arguments, database);
    if (!reply || reply->type != REDIS_REPLY_INTEGER) throw std::runtime_error("no integer reply");
    return reply->integer;
  }
  bool Answers() const {
    const TestRedisReply reply = Command({"PING"});
    return reply && reply->type == REDIS_REPLY_STATUS;
  }

  // Stops the server, which saves its data on the way down (needs the exclusive lock).
  void Halt() const {
    Command({"SHUTDOWN", "SAVE"});
    for (int i = 0; i < 200 && Answers(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (Answers()) throw std::runtime_error("the Redis test server did not stop");
  }
  // Stops the server's process without ending it (it answers nothing meanwhile), and
  // lets it go on (both need the exclusive lock).
  void Pause() const { SignalServer(SIGSTOP); }
  void Continue() const { SignalServer(SIGCONT); }

  // Starts it again on the same port; it reads back what it saved.
  void Resume() const {
    const std::string command = "redis-server '" + settings_.conf + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("redis-server did not start");
    for (int i = 0; i < 200 && !Answers(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!Answers()) throw std::runtime_error("the Redis test server did not come back");
  }

 private:
  void SignalServer(int signal) const {
    std::ifstream file(settings_.pidFile);
    pid_t pid = 0;
    if (!(file >> pid) || pid <= 0 || ::kill(pid, signal) != 0) {
      throw std::runtime_error("cannot signal the Redis test server (" + settings_.pidFile + ")");
    }
  }

  RedisSettings settings_;
  int lockFd_ = -1;
};

}  // namespace tallyhand::testsupport
