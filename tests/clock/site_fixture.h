// A module folder in a temporary directory with data.ini, FDDrivers.ini and a fresh
// reference database (demo data included), a switched-on event log, and a data module
// connected to it. SQLite always; PostgreSQL when the settings of the test server are in
// the environment (TALLYHAND_PG_HOST and the others of scripts/pg-test-server.sh), in a
// database of its own that is dropped afterwards, reached through libpq or, for Odbc,
// through Debian's PostgreSQL ODBC driver.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "clock/captured_event_log.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/odbc_test_drivers.h"
#include "data/reference_db.h"
#include "data/sql_params.h"
#include "platform/text_file.h"

namespace tallyhand::testing {

enum class Backend { Sqlite, Postgres, Odbc };

inline const char* BackendName(Backend backend) {
  switch (backend) {
    case Backend::Sqlite:
      return "SQLite";
    case Backend::Postgres:
      return "PostgreSQL";
    case Backend::Odbc:
      return "ODBC";
  }
  return "?";
}

struct PgSettings {
  std::string host, port, user, password, database;
};

inline std::optional<PgSettings> PgSettingsFromEnvironment() {
  auto get = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  PgSettings settings{get("TALLYHAND_PG_HOST"), get("TALLYHAND_PG_PORT"),
                      get("TALLYHAND_PG_USER"), get("TALLYHAND_PG_PASSWORD"),
                      get("TALLYHAND_PG_DB")};
  if (settings.host.empty() || settings.port.empty()) return std::nullopt;
  return settings;
}

class Site {
 public:
  explicit Site(Backend backend) : backend_(backend) {
    const std::string folder = log_.Folder().string() + "/";
    std::vector<std::string> ini = {"[BaseGlob]"};
    std::string user = "tallyhand";
    std::string password = "tallyhand";
    if (backend == Backend::Sqlite) {
      CreateSqliteReferenceDb(folder + "tallyhand.db");
      ini.push_back("DriverID=SQLite");
      ini.push_back("Database=tallyhand.db");
    } else {
      const std::optional<PgSettings> pg = PgSettingsFromEnvironment();
      if (!pg) throw std::runtime_error("PostgreSQL test server settings are not set");
      pg_ = *pg;
      database_ = "th_special_" + std::to_string(std::random_device{}());
      RunOnMaintenanceDb("CREATE DATABASE " + database_);
      InitPostgresReferenceDb(Conninfo(database_));
      user = pg->user;
      password = pg->password;
      if (backend == Backend::Odbc) {
        testing_odbc::UseTestDriverRegistry();
        for (const std::string& line : testing_odbc::PostgresOdbcIniLines(pg->host, pg->port, database_))
          ini.push_back(line);
      } else {
        ini.push_back("DriverID=PG");
        ini.push_back("Server=" + pg->host);
        ini.push_back("Port=" + pg->port);
        ini.push_back("Database=" + database_);
      }
    }
    ini.push_back("User_Name=" + ScrambleNVString(user, kScrambleStartKey));
    ini.push_back("Password=" + ScrambleNVString(password, kScrambleStartKey));
    ini.push_back("DebugLoggingEnabled=true");
    WriteTextLines(folder + "data.ini", ini, TextEncoding::Utf8Bom);
    WriteTextLines(folder + "FDDrivers.ini", {"[SQLite]", "BusyTimeout=20000"},
                   TextEncoding::Utf8Bom);
    dm_ = std::make_unique<TMainDM>(folder, EventLog());
    dm_->LoadConnections();
  }

  ~Site() {
    dm_.reset();
    if (!database_.empty()) {
      try {
        RunOnMaintenanceDb("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
      } catch (const std::exception&) {
        // A database left behind dies with the throw-away server.
      }
    }
  }
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  Backend backend() const { return backend_; }
  TMainDM& Dm() { return *dm_; }
  CapturedEventLog& Log() { return log_; }

  std::unique_ptr<TResultSet> Query(std::string_view sql, const std::vector<Value>& values = {}) {
    TSQLParams params = TSQLParams::Create(static_cast<int>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) params.Add(static_cast<int>(i), values[i]);
    return dm_->ExecuteQuery(params, sql);
  }
  // The first column of the first row, as text.
  std::string QueryText(std::string_view sql, const std::vector<Value>& values = {}) {
    std::unique_ptr<TResultSet> rows = Query(sql, values);
    if (rows->IsEmpty()) throw std::runtime_error("no rows from " + std::string(sql));
    return rows->Fields(0).AsString();
  }

  // A new mobile user of company 3 (the last "Acme Builders") with no reports yet.
  std::int32_t AddUser() {
    return std::stoi(QueryText(
        "INSERT INTO users (UserID, CompanyNumber, UserName, Password, UseHasMobileAccess, "
        "EmployeeNo) SELECT COALESCE(MAX(UserID), 0) + 1, 3, 'case', 'case', TRUE, 7 FROM users "
        "RETURNING UserID"));
  }
  // A daily report row as the client could not write it (NULL jobs, times of day).
  std::string AddDailyReport(std::int32_t userId, const std::optional<std::string>& job,
                             const std::optional<std::string>& isoWorkDate) {
    return QueryText(
        "INSERT INTO daily_reports (UserID, Job, WorkDate, Notes, Weather) "
        "VALUES (:u, :j, :d, '', '') RETURNING PMID",
        {Value(userId), job ? Value(*job) : Value(), isoWorkDate ? Value(*isoWorkDate) : Value()});
  }
  int CountDailyReports(std::int32_t userId) {
    return std::stoi(QueryText("SELECT COUNT(*) AS N FROM daily_reports WHERE UserID = :u",
                               {Value(userId)}));
  }

 private:
  std::string Conninfo(const std::string& database) const {
    return "host=" + pg_.host + " port=" + pg_.port + " user=" + pg_.user +
           " password=" + pg_.password + " dbname=" + database;
  }
  void RunOnMaintenanceDb(const std::string& sql) const {
    PGconn* connection = PQconnectdb(Conninfo(pg_.database).c_str());
    std::string error;
    if (PQstatus(connection) != CONNECTION_OK) {
      error = PQerrorMessage(connection);
    } else {
      PGresult* result = PQexec(connection, sql.c_str());
      if (PQresultStatus(result) != PGRES_COMMAND_OK) error = PQerrorMessage(connection);
      PQclear(result);
    }
    PQfinish(connection);
    if (!error.empty()) throw std::runtime_error(sql + ": " + error);
  }

  Backend backend_;
  CapturedEventLog log_;
  PgSettings pg_;
  std::string database_;
  std::unique_ptr<TMainDM> dm_;
};

// One site at a time (it installs the process-wide event log), kept across the tests of a
// suite; suites release it in TearDownTestSuite.
inline std::unique_ptr<Site>& SharedSiteSlot() {
  static std::unique_ptr<Site> site;
  return site;
}
inline Site& SharedSite(Backend backend) {
  std::unique_ptr<Site>& site = SharedSiteSlot();
  if (!site || site->backend() != backend) {
    site.reset();
    site = std::make_unique<Site>(backend);
  }
  return *site;
}
inline void ReleaseSharedSite() { SharedSiteSlot().reset(); }

// Suites run over each backend; PostgreSQL and ODBC cases skip when the test server is
// not configured.
inline bool BackendAvailable(Backend backend) {
  return backend == Backend::Sqlite || PgSettingsFromEnvironment().has_value();
}
#define SKIP_WITHOUT_BACKEND(backend)                                                       \
  if (!::tallyhand::testing::BackendAvailable(backend))                                     \
  GTEST_SKIP() << "PostgreSQL test server not configured (scripts/pg-test-server.sh)"

}  // namespace tallyhand::testing
