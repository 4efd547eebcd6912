// The SQLite driver: a database file beside the module (never created by opening it),
// with stored procedures kept in the catalog table stored_procedures.
#pragma once

#include <memory>
#include <string>

#include "data/driver.h"

namespace tallyhand {

// Settings, from the connection definition or else from FDDrivers.ini.
inline constexpr const char* kSqliteBusyTimeoutSetting = "BusyTimeout";  // milliseconds
inline constexpr int kSqliteDefaultBusyTimeoutMs = 5000;
// Prepared statements kept per connection, keyed by statement text.
inline constexpr std::size_t kSqliteStatementCacheSize = 64;

// "Database" is the file, relative to moduleFolder unless absolute. Raises
// EDatabaseError when the definition names no database or a setting is not a number.
std::unique_ptr<DbDriver> MakeSqliteDriver(const ConnectionDef& def,
                                           const std::string& moduleFolder,
                                           const ConnectionDef& driverSettings);

}  // namespace tallyhand
