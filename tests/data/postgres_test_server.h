// The PostgreSQL server that scripts/pg-test-server.sh starts, as the tests see it: its
// settings from the environment, a fresh database per test suite with the reference
// schema and demo data, and the lock that keeps restarts away from running suites.
#pragma once

#include <memory>
#include <string>

#include "data/driver.h"

namespace tallyhand::testing_pg {

struct ServerSettings {
  std::string host, port, user, password, database;
  std::string ctl, dataDir, logFile, lockFile;
};

// The settings from TALLYHAND_PG_*; on failure why says what is missing and how to
// start the server.
bool ReadServerSettings(ServerSettings& settings, std::string& why);

// A database made for one test suite from db/postgres/schema.sql and demo.sql, dropped
// when destroyed. Holds the restart lock shared (exclusive when exclusive) meanwhile.
class SuiteDatabase {
 public:
  SuiteDatabase(const ServerSettings& settings, bool exclusive);
  ~SuiteDatabase();
  SuiteDatabase(const SuiteDatabase&) = delete;
  SuiteDatabase& operator=(const SuiteDatabase&) = delete;

  const std::string& Name() const { return name_; }
  const ServerSettings& Settings() const { return settings_; }
  // DriverID=PG with the server, port, this database and the credentials.
  ConnectionDef Definition() const;
  // Runs sql with libpq directly, outside the driver; throws std::runtime_error.
  void Exec(const std::string& sql) const;

 private:
  ServerSettings settings_;
  std::string name_;
  int lockFd_ = -1;
};

// Creates the suite's database, or keeps why it could not; tests call Require().
class SuiteDatabaseHolder {
 public:
  void SetUp(bool exclusive = false);
  void TearDown() { database_.reset(); }
  // The database, or nullptr with the reason in Why().
  SuiteDatabase* Get() const { return database_.get(); }
  const std::string& Why() const { return why_; }

 private:
  std::unique_ptr<SuiteDatabase> database_;
  std::string why_;
};

// Runs the cluster's pg_ctl (as its owner) with args; returns its exit status.
int RunPgCtl(const ServerSettings& settings, const std::string& args);

}  // namespace tallyhand::testing_pg
