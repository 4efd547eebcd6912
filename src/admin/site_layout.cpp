#include "admin/site_layout.h"

#include <filesystem>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/reference_db.h"
#include "platform/exception.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace fs = std::filesystem;
namespace {

const std::vector<std::string> kOdbcComments = {
    "; ODBCDriver names a driver of odbcinst.ini (or DataSource a data source of odbc.ini).",
    "; ProcedureCall=Native sends EXECUTE PROCEDURE name(args) unchanged, Escape sends",
    "; {call name(args)}. Further connection attributes: ODBCAdvanced=K=V;K=V.",
    "; LoginTimeout and QueryTimeout are seconds (QueryTimeout=0: no limit).",
};

std::string ValueOr(const std::string& value, const char* fallback) {
  return value.empty() ? fallback : value;
}

void CheckOptions(const SiteOptions& options) {
  if (options.driver != "sqlite" && options.driver != "pg" && options.driver != "odbc")
    throw Exception("Unknown driver '" + options.driver + "' (use sqlite, pg or odbc)");
  const bool odbc = options.driver == "odbc";
  if (!odbc && (!options.odbcDriver.empty() || !options.odbcDataSource.empty()))
    throw Exception("--odbc-driver and --data-source go with --driver odbc");
  if (odbc && options.odbcDriver.empty() == options.odbcDataSource.empty())
    throw Exception("--driver odbc needs either --odbc-driver NAME or --data-source NAME");
  if (options.procedureCall != "Native" && options.procedureCall != "Escape")
    throw Exception("Unknown procedure call '" + options.procedureCall + "' (use Native or Escape)");
  // A line break would start another data.ini line.
  for (const std::string* value : {&options.server, &options.port, &options.database,
                                   &options.odbcDriver, &options.odbcDataSource}) {
    if (value->find_first_of("\r\n") != std::string::npos)
      throw Exception("A setting holds a line break: '" + *value + "'");
  }
}

}  // namespace

std::vector<std::string> DataIniLines(const SiteOptions& options) {
  std::vector<std::string> lines = {
      "; Connection definitions of the Tallyhand extension. User_Name and Password are",
      "; scrambled: write new values with \"tallyhand-admin scramble TEXT\".",
      "[BaseGlob]",
  };
  if (options.driver == "pg") {
    lines.push_back("DriverID=PG");
    lines.push_back("Server=" + ValueOr(options.server, "localhost"));
    lines.push_back("Port=" + ValueOr(options.port, "5432"));
    lines.push_back("Database=" + ValueOr(options.database, "tallyhand"));
  } else if (options.driver == "odbc") {
    lines.insert(lines.end() - 1, kOdbcComments.begin(), kOdbcComments.end());
    lines.push_back("DriverID=ODBC");
    if (!options.odbcDriver.empty()) lines.push_back("ODBCDriver=" + options.odbcDriver);
    if (!options.odbcDataSource.empty()) lines.push_back("DataSource=" + options.odbcDataSource);
    if (!options.server.empty()) lines.push_back("Server=" + options.server);
    if (!options.port.empty()) lines.push_back("Port=" + options.port);
    if (!options.database.empty()) lines.push_back("Database=" + options.database);
    lines.push_back("ProcedureCall=" + options.procedureCall);
    lines.push_back("LoginTimeout=5");
    lines.push_back("QueryTimeout=0");
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
  CheckOptions(options);
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
