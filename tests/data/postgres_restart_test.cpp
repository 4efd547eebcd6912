// Connections across a restart of the test server, driven through pg_ctl, and the data
// module on the PostgreSQL driver. These suites hold the restart lock exclusively.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "data/data_ini.h"
#include "data/drivers/postgres_driver.h"
#include "data/mainDM.h"
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
    for (const char* name : {"DriverID", "Server", "Port", "Database"})
      out << name << "=" << def.Get(name) << "\r\n";
    out << "User_Name=" << userLine << "\r\nPassword=" << passwordLine << "\r\n";
  }

 private:
  std::string path_;
};

TEST_F(PostgresRestartTest, DataModuleConnectsWithUnscrambledCredentialsAndReconnects) {
  const ServerComesBack guard(Settings());
  const ConnectionDef def = holder_.Get()->Definition();
  ModuleFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  folder.WriteDataIni(def, ScrambleNVString(def.Get("User_Name"), kScrambleStartKey),
                      ScrambleNVString(def.Get("Password"), kScrambleStartKey));
  TErrorLog log;
  TMainDM dm(folder.Path(), log, 4);
  ASSERT_NO_THROW(dm.LoadConnections());

  const auto companies = [&dm] {
    return dm.ExecuteQuery(TSQLParams::Create(0),
                           "Select CompanyNumber,company_name as CompanyName FROM company");
  };
  const auto firstSet = companies();
  EXPECT_EQ(firstSet->RecordCount(), 4u);
  EXPECT_EQ(firstSet->FieldByName("CompanyName").AsString(), "Acme Builders");

  ASSERT_EQ(ServerComesBack::Stop(Settings()), 0);
  EXPECT_THROW(dm.CheckConnection(), EDatabaseError);
  ASSERT_EQ(ServerComesBack::Start(Settings()), 0);

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
