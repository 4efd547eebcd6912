// The ODBC drivers the tests use, registered in an odbcinst.ini of the tests' own
// (ODBCSYSINI), so that nothing depends on the machine's registrations and Debian's
// CommLog=1 for the PostgreSQL driver (a log file per connection) stays off:
//   "PostgreSQL Unicode"  Debian's psqlODBC (odbc-postgresql)
//   "SQLite3"             Debian's SQLite ODBC driver (libsqliteodbc)
// and the connection definition that reaches the PostgreSQL test server through it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/driver.h"

namespace tallyhand::testing_odbc {

inline constexpr const char* kPostgresDriver = "PostgreSQL Unicode";
inline constexpr const char* kSqliteDriver = "SQLite3";

// The folder holding the tests' odbcinst.ini (and an empty odbc.ini), made once per
// process and named in ODBCSYSINI; server processes started afterwards inherit it.
// Call it before any thread of the test uses ODBC.
inline const std::string& UseTestDriverRegistry() {
  static const std::string folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tallyhand-odbcinst-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::ofstream(pattern + "/odbcinst.ini")
        << "[" << kPostgresDriver << "]\n"
        << "Description=PostgreSQL ODBC driver (Unicode version)\n"
        << "Driver=psqlodbcw.so\nCommLog=0\nDebug=0\n\n"
        << "[" << kSqliteDriver << "]\n"
        << "Description=SQLite3 ODBC driver\nDriver=libsqlite3odbc.so\n";
    std::ofstream(pattern + "/odbc.ini");
    setenv("ODBCSYSINI", pattern.c_str(), 1);
    return pattern;
  }();
  // Removed with the process's last static object.
  static const struct Remover {
    ~Remover() {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    }
  } remover;
  return folder;
}

// The [BaseGlob] parameters (credentials apart) of a site that reaches a PostgreSQL
// database through psqlODBC, as the db/README example writes them: procedure calls as
// the ODBC call escape, booleans as BIT. The login timeout is longer than a site's,
// since 25 connections opened at once under ThreadSanitizer on a busy machine take more
// than the default 5 seconds.
inline std::vector<std::pair<std::string, std::string>> PostgresOdbcParameters(
    const std::string& server, const std::string& port, const std::string& database) {
  return {{"DriverID", "ODBC"},          {"ODBCDriver", kPostgresDriver},
          {"Server", server},            {"Port", port},
          {"Database", database},        {"ProcedureCall", "Escape"},
          {"ODBCAdvanced", "BoolsAsChar=0"}, {"LoginTimeout", "20"}};
}

// The same as data.ini lines "Name=Value".
inline std::vector<std::string> PostgresOdbcIniLines(const std::string& server,
                                                     const std::string& port,
                                                     const std::string& database) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : PostgresOdbcParameters(server, port, database))
    lines.push_back(name + "=" + value);
  return lines;
}

}  // namespace tallyhand::testing_odbc
