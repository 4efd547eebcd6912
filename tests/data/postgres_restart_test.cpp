// Connections across a restart of the test server, driven through pg_ctl, and the data
// module on the PostgreSQL driver. These suites hold the restart lock exclusively.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "data/data_ini.h"
#include "data/drivers/postgres_driver.h"
#include "data/mainDM.h"
#include "data/odbc_test_drivers.h"
#include "data/postgres_test_server.h"
#include "log/error_log.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing_pg::RunPgCtl;
using testing_pg::ServerSettings;
using testing_pg::SuiteDatabaseHolder;

// Whatever a test does, the server runs again when it ends.
class ServerComesBack {
 public:
  explicit ServerComesBack(const ServerSettings& settings) : settings_(settings) {}
  ~ServerComesBack() {
    if (RunPgCtl(settings_, "status") != 0) Start(settings_);
  }
  static int Stop(const ServerSettings& settings) {
    return RunPgCtl(settings, "-m fast -w -t 60 stop");
  }
  static int Start(const ServerSettings& settings) {
    return RunPgCtl(settings, "-w -t 60 -l '" + settings.logFile + "' start");
  }

 private:
  const ServerSettings& settings_;
};

class PostgresRestartTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { holder_.SetUp(/*exclusive=*/true); }
  static void TearDownTestSuite() { holder_.TearDown(); }

  void SetUp() override {
    ASSERT_NE(holder_.Get(), nullptr) << holder_.Why();
    ASSERT_FALSE(Settings().ctl.empty() || Settings().dataDir.empty() || Settings().logFile.empty())
        << "TALLYHAND_PG_CTL, TALLYHAND_PG_DATA and TALLYHAND_PG_LOG must be set (source the "
           "settings file of scripts/pg-test-server.sh)";
  }

  static const ServerSettings& Settings() { return holder_.Get()->Settings(); }

  static SuiteDatabaseHolder holder_;
};

SuiteDatabaseHolder PostgresRestartTest::holder_;

TEST_F(PostgresRestartTest, ConnectionsFromBeforeARestartAreDeadAndNewOnesWork) {
  const ServerComesBack guard(Settings());
  const auto driver = MakePostgresDriver(holder_.Get()->Definition(), {});
  const auto checkedFirst = driver->Connect();
  const auto usedFirst = driver->Connect();
  ASSERT_NO_THROW(checkedFirst->Execute("SELECT 1 AS one", {}));
  ASSERT_NO_THROW(usedFirst->Execute("SELECT 1 AS one", {}));

  ASSERT_EQ(ServerComesBack::Stop(Settings()), 0);
  try {
    driver->Connect();
    ADD_FAILURE() << "connected to a stopped server";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()), "");
  }
  ASSERT_EQ(ServerComesBack::Start(Settings()), 0);

  EXPECT_FALSE(checkedFirst->IsAlive());
  EXPECT_THROW(checkedFirst->Execute("SELECT 1 AS one", {}), EDatabaseError);

  try {
    usedFirst->Execute("SELECT 1 AS one", {});
    ADD_FAILURE() << "a statement ran on a connection the server dropped";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()), "");
  }
  EXPECT_FALSE(usedFirst->IsAlive());

  const auto fresh = driver->Connect();
  EXPECT_EQ(fresh->Execute("SELECT 2 AS two", {})->FieldByName("two").AsInteger(), 2);
  EXPECT_TRUE(fresh->IsAlive());
}

// A module folder with a data.ini naming the test database, credentials scrambled.
class ModuleFolder {
 public:
  ModuleFolder() {
    char pattern[] = "/tmp/tallyhand-pg-module-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) path_ = std::string(made) + "/";
  }
  ~ModuleFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

  void WriteDataIni(const ConnectionDef& def, const std::string& userLine,
                    const std::string& passwordLine) const {
    std::ofstream out(path_ + "data.ini", std::ios::binary);
    out << "\xEF\xBB\xBF[BaseGlob]\r\n";
    for (const auto& [name, value] : def.Entries()) {
      if (name != "User_Name" && name != "Password") out << name << "=" << value << "\r\n";
    }
    out << "User_Name=" << userLine << "\r\nPassword=" << passwordLine << "\r\n";
  }

 private:
  std::string path_;
};

// The data module on each driver that reaches the test server.
enum class ServerDriver { PG, ODBC };

class DataModuleRestartTest : public PostgresRestartTest,
                              public ::testing::WithParamInterface<ServerDriver> {
 protected:
  void SetUp() override {
    PostgresRestartTest::SetUp();
    if (GetParam() == ServerDriver::ODBC) testing_odbc::UseTestDriverRegistry();
  }
  // The suite database's definition for the driver, credentials in plain text.
  static ConnectionDef Definition() {
    ConnectionDef def = holder_.Get()->Definition();
    if (GetParam() == ServerDriver::PG) return def;
    ConnectionDef odbc;
    for (const auto& [name, value] : testing_odbc::PostgresOdbcParameters(
             Settings().host, Settings().port, holder_.Get()->Name()))
      odbc.Set(name, value);
    odbc.Set("User_Name", def.Get("User_Name"));
    odbc.Set("Password", def.Get("Password"));
    return odbc;
  }
  // A data module on the folder's data.ini, credentials scrambled, connected.
  std::unique_ptr<TMainDM> OpenDataModule(const ModuleFolder& folder, int connections) {
    const ConnectionDef def = Definition();
    folder.WriteDataIni(def, ScrambleNVString(def.Get("User_Name"), kScrambleStartKey),
                        ScrambleNVString(def.Get("Password"), kScrambleStartKey));
    auto dm = std::make_unique<TMainDM>(folder.Path(), log_, connections);
    dm->LoadConnections();
    return dm;
  }

  TErrorLog log_;
};

TEST_P(DataModuleRestartTest, ConnectsWithUnscrambledCredentialsAndReconnects) {
  const ServerComesBack guard(Settings());
  ModuleFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  std::unique_ptr<TMainDM> opened;
  ASSERT_NO_THROW(opened = OpenDataModule(folder, 4));
  TMainDM& dm = *opened;

  const auto companies = [&dm] {
    return dm.ExecuteQuery(TSQLParams::Create(0),
                           "Select CompanyNumber,company_name as CompanyName FROM company");
  };
  const auto firstSet = companies();
  EXPECT_EQ(firstSet->RecordCount(), 4u);
  EXPECT_EQ(firstSet->FieldByName("CompanyName").AsString(), "Acme Builders");

  ASSERT_EQ(ServerComesBack::Stop(Settings()), 0);
  if (GetParam() == ServerDriver::PG) {
    // libpq reads the server's farewell on the idle connection.
    EXPECT_THROW(dm.CheckConnection(), EDatabaseError);
  }
  ASSERT_EQ(ServerComesBack::Start(Settings()), 0);
  if (GetParam() == ServerDriver::ODBC) {
    // psqlODBC notices the dropped link only when it next uses it: that request fails.
    EXPECT_THROW(companies(), EDatabaseError);
  }

  EXPECT_NO_THROW(dm.CheckConnection());
  EXPECT_EQ(companies()->RecordCount(), 4u);
  TSQLParams login = TSQLParams::Create(3);
  login.Add(0, Value(3));
  login.Add(1, Value("jsmith"));
  login.Add(2, Value("secret"));
  const auto user = dm.ExecuteQuery(
      login, "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);");
  EXPECT_EQ(user->FieldByName("UserID").AsInteger(), 42);
}

// A pooled connection whose backend ended while it sat idle is replaced when next leased:
// the statement after it never sees the dead one.
TEST_P(DataModuleRestartTest, IdleConnectionTheServerEndedIsReplacedBeforeTheNextStatement) {
  if (GetParam() != ServerDriver::PG) GTEST_SKIP() << "psqlODBC notices a dropped link on use";
  ModuleFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  std::unique_ptr<TMainDM> opened;
  ASSERT_NO_THROW(opened = OpenDataModule(folder, 1));
  TMainDM& dm = *opened;
  const auto backend = [&dm] {
    return dm.ExecuteQuery(TSQLParams::Create(0), "SELECT pg_backend_pid() AS pid")
        ->FieldByName("pid")
        .AsInteger();
  };
  const int first = backend();
  EXPECT_EQ(backend(), first);  // kept in the pool between statements

  const auto killer = MakePostgresDriver(holder_.Get()->Definition(), {})->Connect();
  ASSERT_TRUE(killer->Execute("SELECT pg_terminate_backend(:pid, 10000) AS done", {Value(first)})
                  ->FieldByName("done")
                  .AsBoolean());
  int second = 0;
  ASSERT_NO_THROW(second = backend());
  EXPECT_NE(second, first);
  EXPECT_EQ(backend(), second);
}

// Requests on several threads while the server restarts: each ends, with rows or an
// error; once the server is back, a thread meets at most one failure (a connection the
// server dropped that nothing had noticed yet), and then every request succeeds.
TEST_P(DataModuleRestartTest, RequestsRunningThroughARestartRecover) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  const ServerComesBack guard(Settings());
  ModuleFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  constexpr int kThreads = 6;
  std::unique_ptr<TMainDM> opened;
  ASSERT_NO_THROW(opened = OpenDataModule(folder, kThreads));
  TMainDM& dm = *opened;

  std::atomic<bool> stop{false};
  std::atomic<Clock::rep> backSince{Clock::time_point::max().time_since_epoch().count()};
  struct Outcome {
    int failuresAfterBack = 0;
    int successesAfterBack = 0;
    bool lastSucceeded = false;
  };
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Outcome& outcome = outcomes[static_cast<std::size_t>(t)];
      while (!stop.load()) {
        const bool afterBack = Clock::now().time_since_epoch().count() >= backSince.load();
        bool succeeded = false;
        try {
          dm.CheckConnection();
          TSQLParams login = TSQLParams::Create(3);
          login.Add(0, Value(3));
          login.Add(1, Value("jsmith"));
          login.Add(2, Value("secret"));
          succeeded = dm.ExecuteQuery(login, "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin("
                                             ":CompanyID,:UserID,:Password);")
                          ->FieldByName("UserID")
                          .AsInteger() == 42;
        } catch (const EDatabaseError&) {
        }
        outcome.lastSucceeded = succeeded;
        if (afterBack) ++(succeeded ? outcome.successesAfterBack : outcome.failuresAfterBack);
        std::this_thread::sleep_for(5ms);
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  const bool restarted = ServerComesBack::Stop(Settings()) == 0 && ServerComesBack::Start(Settings()) == 0;
  backSince = Clock::now().time_since_epoch().count();
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(restarted);
  for (const Outcome& outcome : outcomes) {
    EXPECT_LE(outcome.failuresAfterBack, 1);
    EXPECT_GT(outcome.successesAfterBack, 0);
    EXPECT_TRUE(outcome.lastSucceeded);
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, DataModuleRestartTest,
                         ::testing::Values(ServerDriver::PG, ServerDriver::ODBC),
                         [](const auto& info) { return info.param == ServerDriver::PG ? "PG" : "ODBC"; });

TEST_F(PostgresRestartTest, DataModuleWithPlainCredentialsIsRefused) {
  // data.ini holds scrambled values: plain ones unscramble to something else.
  const ConnectionDef def = holder_.Get()->Definition();
  ModuleFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  folder.WriteDataIni(def, def.Get("User_Name"), def.Get("Password"));
  TErrorLog log;
  TMainDM dm(folder.Path(), log, 2);
  try {
    dm.LoadConnections();
    ADD_FAILURE() << "connected with credentials that were never scrambled";
  } catch (const EDatabaseError& e) {
    // The server refuses the garbled user name (or its bytes as UTF-8).
    const std::string message = e.what();
    EXPECT_TRUE(message.find("authentication failed") != std::string::npos ||
                message.find("invalid byte sequence") != std::string::npos)
        << message;
  }
}

}  // namespace
}  // namespace tallyhand
