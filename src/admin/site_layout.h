// The layout of a ready module folder: the extension module, data.ini with scrambled
// credentials, FDDrivers.ini and, for SQLite, the demo database.
#pragma once

#include <string>
#include <vector>

namespace tallyhand {

struct SiteOptions {
  std::string folder;
  std::string modulePath;  // the extension module to copy in
  std::string driver = "sqlite";  // "sqlite" or "pg"
  std::string userName = "tallyhand";
  std::string password = "tallyhand";
  std::string sqliteDatabase = "tallyhand.db";  // relative to the folder
  std::string pgServer = "localhost";
  std::string pgPort = "5432";
  std::string pgDatabase = "tallyhand";
  int busyTimeoutMs = 5000;
  bool replace = false;  // overwrite files already there
};

// The lines of data.ini for the options (credentials scrambled).
std::vector<std::string> DataIniLines(const SiteOptions& options);
// The lines of FDDrivers.ini.
std::vector<std::string> DriverIniLines(const SiteOptions& options);

// Lays out the folder; raises Exception with a message saying what failed.
void LayOutSite(const SiteOptions& options);

}  // namespace tallyhand
