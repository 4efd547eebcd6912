// The server killed (SIGKILL) at a random moment under a load of time cards, daily reports
// and clock pictures on a SQLite site, then started again: every write answered success
// is there exactly once, every picture under its final name is the whole JPEG sent, the
// temporary files of interrupted uploads are gone once the server is back, and the
// database passes its integrity check.
//
// TALLYHAND_CRASH_ROUNDS (default 3) sets how many kills; TALLYHAND_CRASH_SEED repeats a
// run. bench/crash.sh runs the long form and reads the "crash round" lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdio>
#include <random>

#include "resilience/write_load.h"

namespace tallyhand::resilience {
namespace {

using namespace std::chrono_literals;

std::string IntegrityCheck(const std::string& database) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK) {
      result.clear();
      while (sqlite3_step(statement) == SQLITE_ROW) {
        if (!result.empty()) result += "; ";
        result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

TEST(CrashSafety, ServerKilledAtRandomMomentsLosesNothingItAnsweredSuccessFor) {
  const int rounds = EnvironmentNumber("TALLYHAND_CRASH_ROUNDS", 3);
  const auto seed = static_cast<unsigned>(
      EnvironmentNumber("TALLYHAND_CRASH_SEED", static_cast<int>(std::random_device{}() >> 1)));
  std::printf("crash seed %u (TALLYHAND_CRASH_SEED repeats this run)\n", seed);
  std::mt19937 chance(seed);
  std::uniform_int_distribution<int> killAfterMs(300, 2500);

  e2e::UploadSite site({.build = Build::Az, .driver = e2e::Driver::SQLite});
  WriteLoad load(4, seed);
  WholePictures whole;
  std::size_t leftTemporary = 0, killsWithTemporary = 0, storedUnansweredBefore = 0;
  uint16_t port = site.Start();
  ASSERT_NE(port, 0);
  for (int round = 1; round <= rounds; ++round) {
    const OutcomeCounts before = load.Count();
    load.Start(port, "r" + std::to_string(round));
    const int killAfter = killAfterMs(chance);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfter));
    const pid_t killed = site.Site().Server().Pid();
    site.Site().Server().Signal(SIGKILL);
    ASSERT_EQ(site.Site().Server().WaitForExit(10s), 128 + SIGKILL);
    load.Stop();
    const std::size_t temporary = CountTemporaryUploads(site.PicturesFolder());
    // What a kill in the middle of writing a picture leaves, whether or not this one did.
    std::ofstream(site.PicturesFolder() + ".upload:" + std::to_string(killed) + ":999999.part")
        << load.Pictures().For("cut short").substr(0, 5000);
    leftTemporary += temporary;
    killsWithTemporary += temporary > 0;

    // Back up: the interrupted uploads' files are gone before it takes the first request.
    const auto restartAt = Clock::now();
    port = site.Start();
    ASSERT_NE(port, 0);
    const auto restartMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restartAt).count();
    EXPECT_EQ(CountTemporaryUploads(site.PicturesFolder()), 0u);
    const LedgerCheck check = CheckLedger(load.Ledger(), ReadStoredMarkers(site.Site().Folder()),
                                          site.PicturesFolder(), load.Pictures(), whole);
    const std::string integrity = IntegrityCheck(site.Site().Folder() + "tallyhand.db");
    const OutcomeCounts after = load.Count();
    std::printf(
        "crash round %d: killed after %d ms; answered success %zu, refused %zu, no answer %zu; "
        "temporary files left %zu; stored without an answer %zu; lost %zu, duplicated %zu, "
        "partial pictures %zu, stray files %zu; integrity %s; back in %lld ms\n",
        round, killAfter, after.success - before.success, after.refused - before.refused,
        after.noAnswer - before.noAnswer, temporary,
        check.storedUnanswered - storedUnansweredBefore, check.lost, check.duplicated,
        check.partialPictures, check.strayFiles, integrity.c_str(),
        static_cast<long long>(restartMs));
    std::fflush(stdout);
    storedUnansweredBefore = check.storedUnanswered;
    ExpectNothingLost(check);
    EXPECT_EQ(integrity, "ok");
    ASSERT_FALSE(HasFailure()) << "round " << round << " of seed " << seed;
  }
  site.StopAndExpectCleanExit();
  const OutcomeCounts total = load.Count();
  std::printf(
      "crash summary: %d kills, %zu writes answered success and checked, %zu refused, "
      "%zu unanswered; %zu kills left %zu temporary files, all removed at start\n",
      rounds, total.success, total.refused, total.noAnswer, killsWithTemporary, leftTemporary);
  // The load did write: the checks above had something to check.
  EXPECT_GT(total.success, static_cast<std::size_t>(rounds));
}

}  // namespace
}  // namespace tallyhand::resilience
