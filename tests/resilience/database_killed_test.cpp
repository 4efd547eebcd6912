// The PostgreSQL server killed (SIGKILL, every process of it) under a load of writes and
// uploads, reached through libpq or through ODBC, and started again a little later:
// meanwhile the server answers every request, with an error envelope and without delay;
// once the database is back it writes again; and every write answered success is stored
// exactly once.
//
// TALLYHAND_DB_KILL_ROUNDS (default 1) sets how many kills. The suite holds the test
// server's restart lock exclusively, so no other suite sees the kill.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "data/postgres_test_server.h"
#include "resilience/write_load.h"

namespace tallyhand::resilience {
namespace {

using namespace std::chrono_literals;
using testing_pg::ServerSettings;

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

// Gone, or a zombie that nobody reaped yet: either way it runs no more.
bool HasEnded(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const auto close = stat.rfind(')');
  return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

// The test server as one thing that can be killed and started again. Whatever a test
// does, the server runs again when it ends.
class DatabaseServer {
 public:
  explicit DatabaseServer(ServerSettings settings) : settings_(std::move(settings)) {}
  ~DatabaseServer() {
    if (testing_pg::RunPgCtl(settings_, "status") != 0) Start();
  }

  // Every process of the server at once, as the kernel's out-of-memory killer or a crash
  // of the machine's container would. The postmaster is stopped first so that it forks
  // no new backend while its children are gathered.
  bool Kill() {
    std::ifstream pidFile(settings_.dataDir + "/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pidFile >> postmaster) || postmaster <= 1) return false;
    if (::kill(postmaster, SIGSTOP) != 0) return false;
    const std::vector<pid_t> children = ChildrenOf(postmaster);
    for (const pid_t child : children) ::kill(child, SIGKILL);
    ::kill(postmaster, SIGKILL);
    for (int wait = 0; wait < 200; ++wait) {
      bool allEnded = HasEnded(postmaster);
      for (const pid_t child : children) allEnded = allEnded && HasEnded(child);
      if (allEnded) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // pg_ctl start, in a child that keeps none of this process's descriptors: the server
  // outlives the test, and must hold neither its sockets nor a lock it was started under
  // (flock(1) hands its lock on to every child).
  bool Start() {
    std::vector<std::string> args = {
        settings_.ctl, "-D", settings_.dataDir, "-l", settings_.logFile, "-w", "-t", "60", "start"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::close_range(3, ~0U, 0);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

 private:
  ServerSettings settings_;
};

// On the PostgreSQL driver and on ODBC (Debian's PostgreSQL driver against the same server).
class DatabaseKilled : public ::testing::TestWithParam<e2e::Driver> {};

TEST_P(DatabaseKilled, ServerAnswersErrorsMeanwhileWritesAgainAfterwardsAndLosesNothingAnswered) {
  const int rounds = EnvironmentNumber("TALLYHAND_DB_KILL_ROUNDS", 1);
  const auto seed = static_cast<unsigned>(std::random_device{}() >> 1);
  std::mt19937 chance(seed);
  std::uniform_int_distribution<int> killAfterMs(500, 2000);

  e2e::UploadSite site(
      {.build = Build::Az, .driver = GetParam(), .restartsDatabaseServer = true});
  // The test server trades durability for speed; a commit the server confirmed must
  // survive its crash here, as it does on a real site.
  site.Site().Exec(
      "DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET synchronous_commit = on', "
      "current_database()); END $$");
  ServerSettings settings;
  std::string why;
  ASSERT_TRUE(testing_pg::ReadServerSettings(settings, why)) << why;
  ASSERT_FALSE(settings.ctl.empty() || settings.dataDir.empty())
      << "source the settings of scripts/pg-test-server.sh";
  DatabaseServer database(settings);

  const uint16_t port = site.Start();
  ASSERT_NE(port, 0);
  WriteLoad load(4, seed);
  WholePictures whole;
  load.Start(port, "p");
  for (int round = 1; round <= rounds; ++round) {
    const int killAfter = killAfterMs(chance);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfter));
    const auto killedAt = Clock::now();
    ASSERT_TRUE(database.Kill());
    std::this_thread::sleep_for(2s);
    const auto restartedAt = Clock::now();
    ASSERT_TRUE(database.Start());
    const auto upAt = Clock::now();
    while (load.Count(upAt).success == 0 && Clock::now() - upAt < 30s)
      std::this_thread::sleep_for(50ms);

    // Requests that began before the kill may still have been answered success, late on a
    // busy machine.
    const OutcomeCounts down = load.Count(killedAt + 1s, restartedAt);
    const OutcomeCounts up = load.Count(upAt);
    const auto ms = [](Clock::duration d) {
      return static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    std::printf(
        "database kill %d: after %d ms; while down: %zu refused, %zu success, %zu no answer, "
        "slowest %lld ms; back after the restart: %zu success\n",
        round, killAfter, down.refused, down.success, down.noAnswer, ms(down.slowest), up.success);
    EXPECT_GT(down.refused, 0u) << "nothing was answered while the database was down";
    EXPECT_EQ(down.success, 0u);
    EXPECT_LT(down.slowest, 5s) << "an answer waited for the dead database";
    EXPECT_GT(up.success, 0u) << "no write succeeded once the database was back";
  }
  load.Stop();

  const OutcomeCounts total = load.Count();
  EXPECT_EQ(total.noAnswer, 0u) << "the web server left requests unanswered";
  const LedgerCheck check = CheckLedger(load.Ledger(), ReadStoredMarkers(site.Site().Folder()),
                                        site.PicturesFolder(), load.Pictures(), whole);
  std::printf(
      "database kills: %d; %zu writes answered success and checked, %zu refused; lost %zu, "
      "duplicated %zu, partial pictures %zu\n",
      rounds, total.success, total.refused, check.lost, check.duplicated, check.partialPictures);
  ExpectNothingLost(check);
  site.StopAndExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Drivers, DatabaseKilled,
                         ::testing::Values(e2e::Driver::PostgreSQL, e2e::Driver::ODBC),
                         [](const auto& info) { return std::string(e2e::DriverName(info.param)); });

}  // namespace
}  // namespace tallyhand::resilience
