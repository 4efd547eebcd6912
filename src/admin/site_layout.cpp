#include "admin/site_layout.h"

#include <filesystem>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/reference_db.h"
#include "platform/exception.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace fs = std::filesystem;

std::vector<std::string> DataIniLines(const SiteOptions& options) {
  std::vector<std::string> lines = {
      "; Connection definitions of the Tallyhand extension. User_Name and Password are",
      "; scrambled: write new values with \"tallyhand-admin scramble TEXT\".",
      "[BaseGlob]",
  };
  if (options.driver == "pg") {
    lines.push_back("DriverID=PG");
    lines.push_back("Server=" + options.pgServer);
    lines.push_back("Port=" + options.pgPort);
    lines.push_back("Database=" + options.pgDatabase);
  } else {
    lines.push_back("DriverID=SQLite");
    lines.push_back("Database=" + options.sqliteDatabase);
  }
  lines.push_back("User_Name=" + ScrambleNVString(options.userName, kScrambleStartKey));
  lines.push_back("Password=" + ScrambleNVString(options.password, kScrambleStartKey));
  lines.push_back("DebugLoggingEnabled=false");
  return lines;
}

std::vector<std::string> DriverIniLines(const SiteOptions& options) {
  return {
      "; Settings of the Tallyhand extension's database drivers.",
      "; BusyTimeout: milliseconds an SQLite statement waits for a lock held by another",
      "; connection before it fails with \"database is locked\".",
      "[SQLite]",
      "BusyTimeout=" + std::to_string(options.busyTimeoutMs),
  };
}

void LayOutSite(const SiteOptions& options) {
  if (options.driver != "sqlite" && options.driver != "pg")
    throw Exception("Unknown driver '" + options.driver + "' (use sqlite or pg)");
  const fs::path folder(options.folder);
  const fs::path module(options.modulePath);
  std::error_code error;
  if (!fs::is_regular_file(module, error))
    throw Exception("Extension module " + options.modulePath + " not found (use --module PATH)");

  const fs::path moduleTarget = folder / module.filename();
  const fs::path dataIni = folder / "data.ini";
  const fs::path driverIni = folder / "FDDrivers.ini";
  const fs::path database = folder / options.sqliteDatabase;
  std::vector<fs::path> targets = {moduleTarget, dataIni, driverIni};
  if (options.driver == "sqlite") targets.push_back(database);
  for (const fs::path& target : targets) {
    if (fs::exists(target, error) && !options.replace)
      throw Exception(target.string() + " already exists (use --force to replace it)");
  }

  fs::create_directories(folder, error);
  if (error) throw Exception("Cannot create " + folder.string() + ": " + error.message());
  fs::copy_file(module, moduleTarget, fs::copy_options::overwrite_existing, error);
  if (error) throw Exception("Cannot copy " + module.string() + ": " + error.message());
  WriteTextLines(dataIni.string(), DataIniLines(options), TextEncoding::Utf8Bom);
  WriteTextLines(driverIni.string(), DriverIniLines(options), TextEncoding::Utf8Bom);
  if (options.driver == "sqlite") {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      fs::remove(database.string() + suffix, error);
    CreateSqliteReferenceDb(database.string());
  }
}

}  // namespace tallyhand
