#include "data/mainDM.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "data/data_ini.h"
#include "data/sqlite_site_fixture.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing::SqliteSite;

TSQLParams Params(const std::vector<Value>& values) {
  TSQLParams params = TSQLParams::Create(static_cast<int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) params.Add(static_cast<int>(i), values[i]);
  return params;
}

class MainDMTest : public ::testing::Test {
 protected:
  MainDMTest() : dm_(site_.Folder(), site_.Log()) { dm_.LoadConnections(); }

  SqliteSite site_;
  TMainDM dm_;
};

TEST_F(MainDMTest, CompanyListRunsWithoutParametersPositionedOnTheFirstRow) {
  const auto set =
      dm_.ExecuteQuery(TSQLParams::Create(0), "Select CompanyNumber,company_name as CompanyName FROM company");
  ASSERT_EQ(set->RecordCount(), 4u);
  EXPECT_FALSE(set->Eof());
  EXPECT_EQ(set->FieldByName("CompanyNumber").AsInteger(), 1);
  EXPECT_EQ(set->FieldByName("CompanyName").AsString(), "Acme Builders");
}

TEST_F(MainDMTest, ValuesBindByPositionNotByName) {
  const auto set = dm_.ExecuteQuery(Params({12, "x"}), "select :b as b, :a as a, :b + 1 as b1");
  EXPECT_EQ(set->FieldByName("b").AsVariant(), Value(12));
  EXPECT_EQ(set->FieldByName("a").AsVariant(), Value("x"));
  EXPECT_EQ(set->FieldByName("b1").AsVariant(), Value(13));
}

TEST_F(MainDMTest, AnEmptyResultIsAtItsEndAtOnce) {
  const auto set = dm_.ExecuteQuery(Params({"999", "", 0}),
                                    "EXECUTE PROCEDURE nvm_DailyReportRecord_List(:UserID,:F,:G);");
  EXPECT_TRUE(set->Eof());
  EXPECT_EQ(set->FieldCount(), 4);
}

TEST_F(MainDMTest, AFailingStatementLogsOneLineAndRethrowsTheSameError) {
  try {
    dm_.ExecuteQuery(TSQLParams::Create(0), "EXECUTE PROCEDURE nvm_NoSuch();");
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    const auto lines = site_.LogMessages("ExecuteQuery: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ExecuteQuery: " + e.Message());
  }
}

TEST_F(MainDMTest, TwoValuesForOneMarkerFailBeforeRunningWithoutALogLine) {
  try {
    dm_.ExecuteQuery(Params({"42", 3}), "EXECUTE PROCEDURE nvm_Answer_Write(:u, 3, 'never')");
    FAIL() << "no error";
  } catch (const EArgumentOutOfRangeException& e) {
    EXPECT_EQ(e.Message(), "Argument out of range");
  }
  EXPECT_TRUE(site_.LogMessages("ExecuteQuery: ").empty());
  const auto answers = dm_.ExecuteQuery(TSQLParams::Create(0), "select count(*) as n from answers");
  EXPECT_EQ(answers->Fields(0).AsInteger(), 0);
}

TEST_F(MainDMTest, FewerValuesThanMarkersFailOnRunAndAreLogged) {
  EXPECT_THROW(dm_.ExecuteQuery(Params({1}), "select :a as a, :b as b"), EDatabaseError);
  EXPECT_EQ(site_.LogMessages("ExecuteQuery: ").size(), 1u);
}

TEST_F(MainDMTest, DestroyLogsAndClosesOnce) {
  dm_.DataModuleDestroy();
  dm_.DataModuleDestroy();
  EXPECT_EQ(site_.LogMessages("Destroying ").size(), 1u);
  EXPECT_THROW(dm_.ExecuteQuery(TSQLParams::Create(0), "select 1 as a"), EDatabaseError);
}

// Moves the clock by offset for the life of the object.
class ClockMovedBy {
 public:
  explicit ClockMovedBy(TDateTime offset) {
    SetClockForTesting([offset] { return SystemNow() + offset; });
  }
  ~ClockMovedBy() { SetClockForTesting(nullptr); }
  ClockMovedBy(const ClockMovedBy&) = delete;
  ClockMovedBy& operator=(const ClockMovedBy&) = delete;
};

constexpr TDateTime kSecond = 1.0 / (24.0 * 60.0 * 60.0);

// The file is looked for at most once a second; a clock stepped back (a change of
// daylight saving time) makes the check due at once.
TEST(MainDMFileCheck, AReplacedDatabaseFileIsNoticedAndTheConnectionReopened) {
  for (const TDateTime offset : {2 * kSecond, -kSecond, -60 * 60 * kSecond}) {
    SqliteSite site;
    TMainDM dm(site.Folder(), site.Log());
    dm.LoadConnections();
    dm.ExecuteQuery(TSQLParams::Create(0), "select 1 as a");
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(site.Path(std::string("tallyhand.db") + suffix));
    site.CreateDemoDb();
    site.ExecDirect("DELETE FROM company WHERE CompanyNumber = 4");
    ClockMovedBy moved(offset);
    dm.CheckConnection();
    const auto set = dm.ExecuteQuery(TSQLParams::Create(0), "select count(*) as n from company");
    EXPECT_EQ(set->Fields(0).AsInteger(), 3) << offset / kSecond << " s";
  }
}

TEST_F(MainDMTest, TwentyFiveThreadsReadAndWriteAtOnce) {
  constexpr int kThreads = 25;
  constexpr int kRounds = 12;
  std::atomic<int> failures{0};
  std::atomic<int> writes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        try {
          dm_.CheckConnection();
          switch ((t + round) % 4) {
            case 0: {
              const auto set = dm_.ExecuteQuery(
                  Params({"42", 0, "JOB 1", "02/20/2020", "thread", ""}),
                  "EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);");
              if (set->FieldByName("ResultStatus").AsInteger() != 0) ++failures;
              ++writes;
              break;
            }
            case 1: {
              const auto set = dm_.ExecuteQuery(
                  Params({3, "jsmith", "secret"}),
                  "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);");
              if (set->FieldByName("UserID").AsInteger() != 42) ++failures;
              break;
            }
            case 2: {
              const auto set = dm_.ExecuteQuery(
                  Params({"45", "", 0}), "EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u,:f,:g);");
              if (set->RecordCount() != 10) ++failures;
              break;
            }
            default: {
              const auto set = dm_.ExecuteQuery(
                  TSQLParams::Create(0),
                  "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write('42', 0, 1, "
                  "'02/13/2020', '1042', '07:00', '15:00', 8, '100', '', '', 'JOB 1', 'Open');");
              if (set->FieldByName("ResultStatus").AsInteger() != 0) ++failures;
              break;
            }
          }
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const auto set = dm_.ExecuteQuery(Params({"42", "", 0}),
                                    "EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u,:f,:g);");
  EXPECT_EQ(set->RecordCount(), 2u + static_cast<std::size_t>(writes.load()));
  EXPECT_TRUE(site_.LogMessages("ExecuteQuery: ").empty());
}

// --- Loading the configuration --------------------------------------------------------

TEST(MainDMLoad, ScrambledCredentialsReachTheDefinitionUnscrambled) {
  const std::string user = ScrambleNVString("dbuser", kScrambleStartKey);
  const std::string password = ScrambleNVString("p\xC3\xA4ss word", kScrambleStartKey);
  SqliteSite site("User_Name=" + user + "\r\nPassword=" + password + "\r\n");
  TMainDM dm(site.Folder(), site.Log());
  dm.LoadConnections();
  EXPECT_EQ(dm.Definition().Get("User_Name"), "dbuser");
  EXPECT_EQ(dm.Definition().Get("Password"), "p\xC3\xA4ss word");
  EXPECT_EQ(dm.Definition().Get("DriverID"), "SQLite");
  // The file keeps the scrambled values.
  EXPECT_NE(site.ReadFile("data.ini").find("User_Name=" + user), std::string::npos);
}

TEST(MainDMLoad, AMissingDatabaseFailsLikeAnUnreachableServerUntilTheFileAppears) {
  SqliteSite site("", /*createDb=*/false);
  TMainDM dm(site.Folder(), site.Log());
  EXPECT_THROW(dm.LoadConnections(), EDatabaseError);
  EXPECT_THROW(dm.CheckConnection(), EDatabaseError);
  EXPECT_FALSE(std::filesystem::exists(site.Path("tallyhand.db")));
  site.CreateDemoDb();
  dm.CheckConnection();
  const auto set = dm.ExecuteQuery(TSQLParams::Create(0), "select count(*) as n from company");
  EXPECT_EQ(set->Fields(0).AsInteger(), 4);
}

TEST(MainDMLoad, WithoutABaseGlobSectionCheckConnectionRaisesAClearError) {
  SqliteSite site;
  site.WriteFile("data.ini", "[Other]\r\nDriverID=SQLite\r\nDatabase=tallyhand.db\r\n");
  TMainDM dm(site.Folder(), site.Log());
  try {
    dm.LoadConnections();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find("BaseGlob"), std::string::npos) << e.Message();
  }
  try {
    dm.CheckConnection();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Database connection is not available: the data module's set-up failed");
  }
}

TEST(MainDMLoad, AnUnreadableDataIniRaises) {
  SqliteSite site;
  std::filesystem::remove(site.Path("data.ini"));
  TMainDM dm(site.Folder(), site.Log());
  EXPECT_ANY_THROW(dm.LoadConnections());
}

TEST(MainDMLoad, DriverSettingsComeFromFDDriversIni) {
  SqliteSite site;
  site.WriteFile("FDDrivers.ini", "; settings\r\n[SQLite]\r\nBusyTimeout=later\r\n");
  TMainDM dm(site.Folder(), site.Log());
  EXPECT_THROW(dm.LoadConnections(), EDatabaseError);
  site.WriteFile("FDDrivers.ini", "[SQLite]\r\nBusyTimeout=100\r\n");
  TMainDM other(site.Folder(), site.Log());
  EXPECT_NO_THROW(other.LoadConnections());
}

}  // namespace
}  // namespace tallyhand
