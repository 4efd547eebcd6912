// Runs tallyhand-server as a child process for black-box tests: starts it, waits for
// its "listening on ADDR:PORT" line, stops it with SIGTERM and reports the exit code.
// Header-only; the server's standard error goes to a temporary file that tests can read.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace tallyhand::testsupport {

#ifdef TALLYHAND_BINARY_DIR
inline std::string BuiltFile(const std::string& name) {
  return std::string(TALLYHAND_BINARY_DIR) + "/" + name;
}
inline std::string ServerExecutablePath() { return BuiltFile("tallyhand-server"); }
#endif

struct ServerLaunch {
  std::vector<std::string> args;
  std::string workingDir;            // empty: the test's own
  std::vector<std::string> extraEnv;  // "NAME=VALUE" entries added to (or replacing in) the environment
#ifdef TALLYHAND_BINARY_DIR
  std::string executable = ServerExecutablePath();
#else
  std::string executable;
#endif
};

class ServerProcess {
 public:
  explicit ServerProcess(const ServerLaunch& launch) { Spawn(launch); }
  ~ServerProcess() {
    if (pid_ > 0 && !exitCode_) {
      ::kill(pid_, SIGKILL);
      WaitForExit(std::chrono::seconds(10));
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    if (!stderrPath_.empty()) ::unlink(stderrPath_.c_str());
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Spawned() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& SpawnError() const { return spawnError_; }

  // Reads standard output until the "listening on" line; false when the process ends
  // first or the time runs out.
  bool WaitUntilListening(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (port_) return true;
    if (stdoutFd_ < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (ParseListeningLine()) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{stdoutFd_, POLLIN, 0};
      int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      char chunk[4096];
      ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return ParseListeningLine();
      stdout_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Reads standard output until a line starting with prefix has come whole; that line
  // without the prefix and the line break, or nullopt when the process ends first or the
  // time runs out.
  std::optional<std::string> WaitForLine(std::string_view prefix,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (size_t start = 0; start < stdout_.size();) {
        size_t end = stdout_.find('\n', start);
        if (end == std::string::npos) break;
        if (std::string_view(stdout_).substr(start, end - start).starts_with(prefix)) {
          return stdout_.substr(start + prefix.size(), end - start - prefix.size());
        }
        start = end + 1;
      }
      if (stdoutFd_ < 0) return std::nullopt;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{stdoutFd_, POLLIN, 0};
      int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[4096];
      ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      stdout_.append(chunk, static_cast<size_t>(n));
    }
  }

  uint16_t Port() const { return port_.value_or(0); }
  const std::string& ListenAddress() const { return address_; }
  const std::string& StdoutText() const { return stdout_; }

  std::string StderrText() const {
    std::ifstream file(stderrPath_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  void Signal(int signal) {
    if (pid_ > 0 && !exitCode_) ::kill(pid_, signal);
  }

  // The exit code (128 + signal number when killed by a signal); nullopt while it runs
  // past the timeout.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
      }
      if (done < 0 && errno != EINTR) return std::nullopt;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // SIGTERM, then waits for the exit code (nullopt if it does not end in time).
  std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    Signal(SIGTERM);
    return WaitForExit(timeout);
  }

 private:
  void Spawn(const ServerLaunch& launch) {
    char stderrTemplate[] = "/tmp/tallyhand-server-stderr-XXXXXX";
    int stderrFd = ::mkstemp(stderrTemplate);
    if (stderrFd < 0) {
      spawnError_ = "mkstemp failed";
      return;
    }
    stderrPath_ = stderrTemplate;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
      spawnError_ = "pipe2 failed";
      ::close(stderrFd);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    if (!launch.workingDir.empty()) {
      posix_spawn_file_actions_addchdir_np(&actions, launch.workingDir.c_str());
    }
    std::vector<std::string> argStorage;
    argStorage.push_back(launch.executable);
    argStorage.insert(argStorage.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStorage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // extraEnv entries replace inherited ones of the same name.
    const auto sameName = [](std::string_view a, std::string_view b) {
      return a.substr(0, a.find('=')) == b.substr(0, b.find('='));
    };
    std::vector<std::string> envStorage;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      bool replaced = false;
      for (const std::string& extra : launch.extraEnv) replaced = replaced || sameName(*entry, extra);
      if (!replaced) envStorage.emplace_back(*entry);
    }
    envStorage.insert(envStorage.end(), launch.extraEnv.begin(), launch.extraEnv.end());
    std::vector<char*> envp;
    for (std::string& entry : envStorage) envp.push_back(entry.data());
    envp.push_back(nullptr);
    int error = ::posix_spawn(&pid_, launch.executable.c_str(), &actions, nullptr, argv.data(),
                              envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ::close(stderrFd);
    if (error != 0) {
      pid_ = -1;
      spawnError_ = "posix_spawn failed: " + std::to_string(error);
      ::close(pipeFds[0]);
      return;
    }
    stdoutFd_ = pipeFds[0];
  }

  bool ParseListeningLine() {
    constexpr std::string_view kPrefix = "listening on ";
    size_t start = stdout_.find(kPrefix);
    if (start == std::string::npos) return false;
    size_t end = stdout_.find('\n', start);
    if (end == std::string::npos) return false;
    std::string endpoint = stdout_.substr(start + kPrefix.size(), end - start - kPrefix.size());
    size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos) return false;
    address_ = endpoint.substr(0, colon);
    port_ = static_cast<uint16_t>(std::strtoul(endpoint.c_str() + colon + 1, nullptr, 10));
    return true;
  }

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::string stderrPath_;
  std::string stdout_;
  std::string spawnError_;
  std::string address_;
  std::optional<uint16_t> port_;
  std::optional<int> exitCode_;
};

}  // namespace tallyhand::testsupport
