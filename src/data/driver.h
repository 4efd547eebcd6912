// The database driver interface: a driver opens connections from one connection
// definition; a connection runs one statement at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/result_set.h"
#include "data/value.h"

namespace tallyhand {

// Parameters of one connection definition (a data.ini section), names as written.
// Lookup ignores letter case.
class ConnectionDef {
 public:
  void Set(std::string name, std::string value);
  std::string Get(std::string_view name, std::string_view fallback = {}) const;
  bool Has(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

class DbConnection {
 public:
  virtual ~DbConnection() = default;
  // Runs one statement written in the system's dialect ("EXECUTE PROCEDURE name(args)",
  // ":name" markers); values bind by position to the distinct markers in order of first
  // appearance. Raises EDatabaseError on every failure, including a statement that
  // returns no result set and a text holding more than one statement.
  virtual std::unique_ptr<TResultSet> Execute(std::string_view sql,
                                              const std::vector<Value>& values) = 0;
  // Runs one of the system's own statements, whose text is always the same: a driver may
  // keep it prepared on the connection. Otherwise exactly as Execute.
  virtual std::unique_ptr<TResultSet> ExecuteFixed(std::string_view sql,
                                                   const std::vector<Value>& values) {
    return Execute(sql, values);
  }
  // False once the connection is known to be unusable (the server dropped it).
  virtual bool IsAlive() = 0;
  // Whether the connection may go back to the pool right after a statement. A driver may
  // answer from what the statement already told it, without asking the server again: the
  // next lease checks IsAlive anyway.
  virtual bool StillUsableAfterStatement() { return IsAlive(); }
  // Closes the connection at once; raises EDatabaseError when closing fails. The
  // connection is unusable afterwards; destruction closes it too, silently.
  virtual void Close() {}
};

class DbDriver {
 public:
  virtual ~DbDriver() = default;
  // Opens a new connection; raises EDatabaseError when the server cannot be reached.
  virtual std::unique_ptr<DbConnection> Connect() = 0;
};

// Makes the driver named by the definition's DriverID ("SQLite", "PG" or "ODBC"); moduleFolder
// resolves relative database paths; driverSettings holds FDDrivers.ini entries (may be
// empty). Raises EDatabaseError for an unknown driver.
std::unique_ptr<DbDriver> MakeDriver(const ConnectionDef& def, const std::string& moduleFolder,
                                     const ConnectionDef& driverSettings);

}  // namespace tallyhand
