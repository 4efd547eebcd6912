// A module folder laid out for one end-to-end test, and the server started on it.
// SQLite sites get a fresh demo database; PostgreSQL sites a fresh database on the
// test server that scripts/pg-test-server.sh started, reached through libpq or, for ODBC
// sites, through Debian's PostgreSQL ODBC driver.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "clock/BaseGlobConstants.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/odbc_test_drivers.h"
#include "data/postgres_test_server.h"
#include "data/reference_db.h"
#include "log/error_log.h"
#include "support/http_client.h"
#include "support/server_process.h"

namespace tallyhand::e2e {

// The server's drivers; ODBC reaches the PostgreSQL test server through psqlODBC.
enum class Driver { SQLite, PostgreSQL, ODBC };

inline const char* DriverName(Driver driver) {
  switch (driver) {
    case Driver::SQLite:
      return "SQLite";
    case Driver::PostgreSQL:
      return "PostgreSQL";
    case Driver::ODBC:
      return "ODBC";
  }
  return "?";
}

inline bool OnPostgresServer(Driver driver) { return driver != Driver::SQLite; }

struct SiteOptions {
  Build build = Build::Az;
  Driver driver = Driver::SQLite;
  bool logging = true;
  bool createDatabase = true;
  // The test stops or kills the PostgreSQL test server: it waits until no other suite
  // uses it, and keeps it to itself meanwhile.
  bool restartsDatabaseServer = false;
  // Definition parameters written in place of (or beside) the driver's own, in order.
  std::vector<std::pair<std::string, std::string>> definitionChanges{};
  // Further data.ini lines, such as a [SessionKeys] section.
  std::vector<std::string> dataIniLines{};
};

class E2eSite {
 public:
  explicit E2eSite(SiteOptions options = {}) : options_(std::move(options)) {
    if (options_.driver == Driver::ODBC) testing_odbc::UseTestDriverRegistry();
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tallyhand-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern + "/";
    folder_ = root_ + "site/";
    std::filesystem::create_directories(folder_);
    const std::string module = ModuleFileName();
    std::filesystem::copy_file(testsupport::BuiltFile(module), folder_ + module);
    WriteDataIni();
    if (options_.createDatabase) CreateDatabase();
  }
  ~E2eSite() {
    server_.reset();
    pg_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  E2eSite(const E2eSite&) = delete;
  E2eSite& operator=(const E2eSite&) = delete;

  std::string ModuleFileName() const {
    return options_.build == Build::Az ? "Tallyhand_az.so" : "Tallyhand.so";
  }
  std::string LogFileName() const {
    return options_.build == Build::Az ? "Tallyhand_azLog.txt" : "TallyhandLog.txt";
  }
  const std::string& Folder() const { return folder_; }
  // Scratch space beside the site, for a copied host executable and its pictures.
  const std::string& Root() const { return root_; }
  const SiteOptions& Options() const { return options_; }
  // The database of a PostgreSQL or ODBC site on the test server; nullptr for SQLite.
  const testing_pg::SuiteDatabase* PostgresDatabase() const { return pg_ ? pg_->Get() : nullptr; }

  void CreateDatabase() {
    if (options_.driver == Driver::SQLite) {
      CreateSqliteReferenceDb(folder_ + "tallyhand.db");
    } else if (!pg_) {
      pg_ = std::make_unique<testing_pg::SuiteDatabaseHolder>();
      pg_->SetUp(options_.restartsDatabaseServer);
      if (pg_->Get() == nullptr) throw std::runtime_error(pg_->Why());
    }
  }

  // Runs SQL on the site's database, outside the server.
  void Exec(const std::string& sql) const {
    if (OnPostgresServer(options_.driver)) {
      pg_->Get()->Exec(sql);
      return;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((folder_ + "tallyhand.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(db);
      throw std::runtime_error("cannot open the site database");
    }
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error(message);
  }

  // The first column of the first row of a query, as text ("" for none).
  std::string Scalar(const std::string& sql) const {
    TErrorLog quiet;
    TMainDM dm(folder_, quiet, 1);
    dm.LoadConnections();
    auto set = dm.ExecuteQuery(TSQLParams::Create(0), sql);
    return set->Eof() ? "" : set->Fields(0).AsString();
  }

  std::string LogText() const {
    std::ifstream in(folder_ + LogFileName(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The messages of the log lines (time stamp and TAB removed), in order.
  std::vector<std::string> LogMessages() const {
    std::vector<std::string> messages;
    std::istringstream in(LogText());
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto tab = line.find('\t');
      messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return messages;
  }
  // Calls visit with the message of every log line in order, without holding the whole
  // log in memory (a long load run writes hundreds of megabytes).
  template <typename Visit>
  void ForEachLogMessage(Visit&& visit) const {
    std::ifstream in(folder_ + LogFileName(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto tab = line.find('\t');
      visit(tab == std::string::npos ? std::string_view(line)
                                     : std::string_view(line).substr(tab + 1));
    }
  }
  size_t CountLogLines(const std::string& prefix) const {
    size_t count = 0;
    for (const std::string& message : LogMessages()) count += message.rfind(prefix, 0) == 0;
    return count;
  }

  // Starts tallyhand-server on a free port with the site's module.
  testsupport::ServerProcess& Start(std::vector<std::string> extraArgs = {},
                                    std::vector<std::string> environment = {},
                                    std::string executable = {}) {
    testsupport::ServerLaunch launch;
    if (!executable.empty()) launch.executable = executable;
    launch.args = {"--module", folder_ + ModuleFileName(), "--port", "0", "--listen", "127.0.0.1"};
    launch.args.insert(launch.args.end(), extraArgs.begin(), extraArgs.end());
    launch.extraEnv = std::move(environment);
    server_ = std::make_unique<testsupport::ServerProcess>(launch);
    if (!server_->WaitUntilListening()) {
      throw std::runtime_error("server did not start: " + server_->StderrText());
    }
    return *server_;
  }
  testsupport::ServerProcess& Server() { return *server_; }

  // Makes the database unreachable for a server started afterwards: the SQLite file is
  // removed; a PostgreSQL or ODBC site is pointed at a port where nothing listens.
  void MakeDatabaseUnreachable() {
    if (options_.driver == Driver::SQLite) {
      std::filesystem::remove(folder_ + "tallyhand.db");
      std::filesystem::remove(folder_ + "tallyhand.db-wal");
      std::filesystem::remove(folder_ + "tallyhand.db-shm");
    } else {
      pgPortOverride_ = "1";
      WriteDataIni();
    }
  }
  // Stops the server (SIGTERM) and returns its exit code.
  int Stop() {
    const std::optional<int> code = server_->Stop();
    return code.value_or(-1);
  }

 private:
  void WriteDataIni() {
    std::string ini = "\xEF\xBB\xBF[BaseGlob]\r\n";
    if (options_.driver == Driver::SQLite) {
      ini += "DriverID=SQLite\r\nDatabase=tallyhand.db\r\n";
    } else {
      if (!pg_) {
        pg_ = std::make_unique<testing_pg::SuiteDatabaseHolder>();
        pg_->SetUp(options_.restartsDatabaseServer);
        if (pg_->Get() == nullptr) throw std::runtime_error(pg_->Why());
      }
      const testing_pg::ServerSettings& s = pg_->Get()->Settings();
      const std::string& port = pgPortOverride_.empty() ? s.port : pgPortOverride_;
      std::vector<std::pair<std::string, std::string>> definition =
          options_.driver == Driver::ODBC
              ? testing_odbc::PostgresOdbcParameters(s.host, port, pg_->Get()->Name())
              : std::vector<std::pair<std::string, std::string>>{
                    {"DriverID", "PG"}, {"Server", s.host}, {"Port", port},
                    {"Database", pg_->Get()->Name()}};
      definition.emplace_back("User_Name", ScrambleNVString(s.user, kScrambleStartKey));
      definition.emplace_back("Password", ScrambleNVString(s.password, kScrambleStartKey));
      for (const auto& change : options_.definitionChanges) {
        auto same = std::find_if(definition.begin(), definition.end(),
                                 [&](const auto& entry) { return entry.first == change.first; });
        if (same != definition.end()) {
          same->second = change.second;
        } else {
          definition.push_back(change);
        }
      }
      for (const auto& [name, value] : definition) ini += name + "=" + value + "\r\n";
    }
    ini += options_.logging ? "DebugLoggingEnabled=true\r\n" : "DebugLoggingEnabled=false\r\n";
    for (const std::string& line : options_.dataIniLines) ini += line + "\r\n";
    std::ofstream(folder_ + "data.ini", std::ios::binary) << ini;
  }

  SiteOptions options_;
  std::string root_;
  std::string folder_;
  std::unique_ptr<testing_pg::SuiteDatabaseHolder> pg_;
  std::string pgPortOverride_;
  std::unique_ptr<testsupport::ServerProcess> server_;
};

// "key=value&..." with every value percent-encoded, as the app sends a form body.
inline std::string PercentEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace tallyhand::e2e
