#include "data/driver.h"
#include "platform/ascii_case.h"

#include <cctype>

#include "data/drivers/odbc_driver.h"
#include "data/drivers/postgres_driver.h"
#include "data/drivers/sqlite_driver.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {


}  // namespace

void ConnectionDef::Set(std::string name, std::string value) {
  for (auto& entry : entries_) {
    if (EqualsIgnoringAsciiCase(entry.first, name)) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(name), std::move(value));
}

std::string ConnectionDef::Get(std::string_view name, std::string_view fallback) const {
  for (const auto& entry : entries_) {
    if (EqualsIgnoringAsciiCase(entry.first, name)) return entry.second;
  }
  return std::string(fallback);
}

bool ConnectionDef::Has(std::string_view name) const {
  for (const auto& entry : entries_) {
    if (EqualsIgnoringAsciiCase(entry.first, name)) return true;
  }
  return false;
}

std::unique_ptr<DbDriver> MakeDriver(const ConnectionDef& def, const std::string& moduleFolder,
                                     const ConnectionDef& driverSettings) {
  const std::string driverId = def.Get("DriverID");
  if (EqualsIgnoringAsciiCase(driverId, "SQLite")) return MakeSqliteDriver(def, moduleFolder, driverSettings);
  if (EqualsIgnoringAsciiCase(driverId, "PG")) return MakePostgresDriver(def, driverSettings);
  if (EqualsIgnoringAsciiCase(driverId, "ODBC")) return MakeOdbcDriver(def, driverSettings);
  throw EDatabaseError("Unknown database driver '" + driverId +
                       "' in the connection definition (use SQLite, PG or ODBC)");
}

}  // namespace tallyhand
