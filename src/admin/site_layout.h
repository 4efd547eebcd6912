// The layout of a ready module folder: the extension module, data.ini with scrambled
// credentials, FDDrivers.ini and, for SQLite, the demo database.
#pragma once

#include <string>
#include <vector>

namespace tallyhand {

struct SiteOptions {
  std::string folder;
  std::string modulePath;  // the extension module to copy in
  std::string driver = "sqlite";  // "sqlite", "pg" or "odbc"
  std::string userName = "tallyhand";
  std::string password = "tallyhand";
  std::string sqliteDatabase = "tallyhand.db";  // relative to the folder
  // Empty: not given. PostgreSQL then takes localhost, 5432 and tallyhand; ODBC leaves
  // them to the driver or the data source.
  std::string server;
  std::string port;
  std::string database;
  // ODBC: a driver of odbcinst.ini or a data source of odbc.ini (exactly one), and
  // "Native" or "Escape".
  std::string odbcDriver;
  std::string odbcDataSource;
  std::string procedureCall = "Native";
  int busyTimeoutMs = 5000;
  bool replace = false;  // overwrite files already there
};

// The lines of data.ini for the options (credentials scrambled).
std::vector<std::string> DataIniLines(const SiteOptions& options);
// The lines of FDDrivers.ini.
std::vector<std::string> DriverIniLines(const SiteOptions& options);

// Lays out the folder; raises Exception with a message saying what failed (also for
// options that do not fit the driver).
void LayOutSite(const SiteOptions& options);

}  // namespace tallyhand
