// The host's life: command line, loading and checking the module, running from any
// folder, the access log, and a stop that lets requests in flight finish.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "minimal_server.h"

namespace tallyhand::testsupport {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TemporaryFolder {
 public:
  TemporaryFolder() {
    char pattern[] = "/tmp/tallyhand-host-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(Lifecycle, StopLetsTheRequestInFlightFinish) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  TemporaryFolder folder;
  fs::path mark = folder.Path() / "arrived";
  HttpConnection slow(server.Port());
  HttpConnection idle(server.Port());
  ASSERT_TRUE(slow.Send(Get("/slow?ms=1500&mark=" + mark.string())));
  // The stop comes once the request has reached the extension.
  for (int i = 0; i < 2000 && !fs::exists(mark); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(fs::exists(mark));
  server.process.Signal(SIGTERM);
  auto response = slow.ReadResponse(15s);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ConstantAnswer());
  EXPECT_TRUE(slow.ClosedByPeer());
  // An idle connection does not hold the stop up.
  EXPECT_EQ(server.process.WaitForExit(20s), 0) << server.process.StderrText();
  EXPECT_TRUE(idle.ClosedByPeer());
}

// A stop that a balancer can follow: the port refuses new connections at once, a
// kept-alive connection waiting idle is closed at once, and what has reached the server
// is answered (a request in the extension, one whose first bytes had arrived, and the
// first request of a new connection sent just after the stop).
TEST(Lifecycle, StopClosesListenerAndIdleConnectionsAndAnswersWhatArrived) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  TemporaryFolder folder;
  const fs::path mark = folder.Path() / "arrived";
  HttpConnection idle(server.Port());
  HttpConnection started(server.Port());
  for (HttpConnection* kept : {&idle, &started}) {
    ASSERT_TRUE(kept->Send(Get("/test.app")));
    ASSERT_TRUE(kept->ReadResponse());
  }
  HttpConnection fresh(server.Port());
  HttpConnection slow(server.Port());
  ASSERT_TRUE(slow.Send(Get("/slow?ms=3000&mark=" + mark.string())));
  for (int i = 0; i < 2000 && !fs::exists(mark); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(fs::exists(mark));
  const std::string next = Get("/test.app");
  ASSERT_TRUE(started.Send(next.substr(0, 10)));
  std::this_thread::sleep_for(100ms);

  server.process.Signal(SIGTERM);
  EXPECT_TRUE(idle.ClosedByPeer(1500ms));
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i) {
    refused = !HttpConnection(server.Port()).Connected();
    if (!refused) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(refused) << "the port still accepts connections during the stop";
  ASSERT_TRUE(fresh.Send(Get("/test.app")));
  auto first = fresh.ReadResponse();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->raw, ConstantAnswer());

  ASSERT_TRUE(started.Send(next.substr(10)));
  auto finished = started.ReadResponse();
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->raw, ConstantAnswer());
  EXPECT_TRUE(started.ClosedByPeer());
  auto response = slow.ReadResponse(15s);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ConstantAnswer());
  EXPECT_EQ(server.process.WaitForExit(20s), 0) << server.process.StderrText();
}

// With --reuse-port a second server listens on the first one's port, and once the first
// has stopped the second serves every request: a restart without a moment of refusal.
TEST(Lifecycle, ReusePortLetsASecondServerTakeOverThePort) {
  MinimalServer first({"--reuse-port"});
  ASSERT_TRUE(first.Listening()) << first.process.StderrText();
  const std::string port = std::to_string(first.Port());
  {
    ServerLaunch launch = MinimalLaunch();
    launch.args[3] = port;
    ServerProcess refused(launch);
    EXPECT_EQ(refused.WaitForExit(20s), 1);
    EXPECT_NE(refused.StderrText().find("bind failed"), std::string::npos) << refused.StderrText();
  }
  ServerLaunch launch = MinimalLaunch({"--reuse-port"});
  launch.args[3] = port;
  ServerProcess second(launch);
  ASSERT_TRUE(second.WaitUntilListening()) << second.StderrText();
  EXPECT_EQ(first.process.Stop(), 0) << first.process.StderrText();
  for (int i = 0; i < 20; ++i) {
    auto response = HttpExchange(second.Port(), Get("/test.app"));
    ASSERT_TRUE(response) << "request " << i;
    EXPECT_EQ(response->raw, ConstantAnswer());
  }
  EXPECT_EQ(second.Stop(), 0) << second.StderrText();
  ExpectNoSanitizerReport(second);
}

TEST(Lifecycle, StopsAtOnceWhenNothingIsInFlight) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  ASSERT_TRUE(HttpExchange(server.Port(), Get("/pending")));
  EXPECT_EQ(server.process.Stop(), 0) << server.process.StderrText();
}

TEST(Lifecycle, UnusableModulesStopTheStartWithAClearMessage) {
  Dl_info mathLibrary{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::cos)), &mathLibrary), 0);
  struct Case {
    const char* name;
    std::string module;
    std::vector<std::string> env;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", "/nonexistent/folder/module.so", {}, "cannot load extension module: dlopen(\"/nonexistent/folder/module.so\") failed"},
      {"no exports", mathLibrary.dli_fname, {}, "does not export GetExtensionVersion, HttpExtensionProc, TerminateExtension"},
      {"refuses to start", MinimalModulePath(), {"TALLYHAND_MINIMAL_REFUSE_START=1"}, "refused to start: GetExtensionVersion returned FALSE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerLaunch launch;
    launch.args = {"--module", c.module, "--port", "0", "--listen", "127.0.0.1"};
    launch.extraEnv = c.env;
    ServerProcess process(launch);
    EXPECT_FALSE(process.WaitUntilListening(20s));
    std::optional<int> exitCode = process.WaitForExit(20s);
    ASSERT_TRUE(exitCode);
    EXPECT_NE(*exitCode, 0);
    EXPECT_NE(process.StderrText().find(c.message), std::string::npos) << process.StderrText();
  }
}

TEST(Lifecycle, BadCommandLinesAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--port", "0"}, "--module is required"},
      {{"--module", "x.so"}, "--port is required"},
      {{"--module", "x.so", "--port", "70000"}, "--port expects a whole number from 0 to 65535"},
      {{"--module", "x.so", "--port", "0", "--bogus", "1"}, "unknown option \"--bogus\""},
      {{"--module", "x.so", "--port", "0", "--io-threads"}, "--io-threads expects a value"},
      {{"--module", "x.so", "--port", "0", "--mount", "bin"}, "--mount expects a prefix starting with '/'"},
      {{"--module", "x.so", "--port", "0", "--reuse-port=1"}, "--reuse-port takes no value"},
      {{"--module", "x.so", "--port", "0", "--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
      {{"--module", "x.so", "--port", "0", "--tls-key", "k.pem"}, "--tls-cert and --tls-key go together"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ServerLaunch launch;
    launch.args = c.args;
    ServerProcess process(launch);
    EXPECT_EQ(process.WaitForExit(20s), 2);
    EXPECT_NE(process.StderrText().find(c.message), std::string::npos) << process.StderrText();
  }
}

TEST(Lifecycle, HelpNamesEveryOption) {
  ServerLaunch launch;
  launch.args = {"--help"};
  ServerProcess process(launch);
  EXPECT_FALSE(process.WaitUntilListening(20s));
  EXPECT_EQ(process.WaitForExit(20s), 0);
  for (const char* option : {"--module", "--port", "--listen", "--mount", "--io-threads", "--read-ahead",
                             "--max-body", "--header-limit", "--header-timeout", "--body-timeout",
                             "--idle-timeout", "--max-connections", "--access-log", "--reuse-port",
                             "--tls-cert", "--tls-key", "--admin-listen"}) {
    EXPECT_NE(process.StdoutText().find(option), std::string::npos) << option;
  }
}

TEST(Lifecycle, CopiedElsewhereTheHostRunsFromThere) {
  TemporaryFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  fs::copy_file(ServerExecutablePath(), folder.Path() / "tallyhand-server");
  fs::copy_file(MinimalModulePath(), folder.Path() / "minimal_extension.so");
  ServerLaunch launch;
  launch.executable = (folder.Path() / "tallyhand-server").string();
  // A bare module name means the file in the working folder.
  launch.args = {"--module", "minimal_extension.so", "--port", "0", "--listen", "127.0.0.1",
                 "--access-log", "access.log"};
  launch.workingDir = folder.Path().string();
  ServerProcess process(launch);
  ASSERT_TRUE(process.WaitUntilListening()) << process.StderrText();
  EXPECT_EQ(process.ListenAddress(), "127.0.0.1");
  auto response = HttpExchange(process.Port(), Get("/test.app?x=1"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ConstantAnswer());
  EXPECT_EQ(process.Stop(), 0) << process.StderrText();
  std::string log = ReadFile(folder.Path() / "access.log");
  EXPECT_NE(log.find("127.0.0.1 - - ["), std::string::npos) << log;
  std::string line = "] \"GET /test.app?x=1 HTTP/1.1\" 200 " + std::to_string(ConstantAnswer().size()) + " \"-\" \"-\" ";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  ExpectNoSanitizerReport(process);
}

}  // namespace
}  // namespace tallyhand::testsupport
