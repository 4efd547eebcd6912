// The data module: the connection configuration of data.ini, a pool of connections made
// from its one "BaseGlob" definition, and statement execution.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "data/driver.h"
#include "data/result_set.h"
#include "data/sql_params.h"

namespace tallyhand {

class TErrorLog;

class TMainDM {
 public:
  // moduleFolder ends with '/'; data.ini and FDDrivers.ini are read from it.
  TMainDM(std::string moduleFolder, TErrorLog& log, int maxConnections = 25);
  ~TMainDM();  // runs DataModuleDestroy
  TMainDM(const TMainDM&) = delete;
  TMainDM& operator=(const TMainDM&) = delete;

  // Reads data.ini, prepares "BaseGlob" with the unscrambled credentials, makes the
  // driver and opens a first connection. Raises on any failure.
  void LoadConnections();
  // Makes sure a connection can be had, opening one if none is open. Raises the
  // driver's error; raises EDatabaseError when set-up never got as far as a driver.
  void CheckConnection();
  // Runs sqlText with the values of params bound by position; the caller owns the result.
  std::unique_ptr<TResultSet> ExecuteQuery(const TSQLParams& params, std::string_view sqlText);
  // The same for the system's own statements (never a client's text), which the driver
  // may keep prepared.
  std::unique_ptr<TResultSet> ExecuteFixedQuery(const TSQLParams& params,
                                                std::string_view sqlText);

  // Connections open and waiting, and those leased (or being opened) for a statement.
  struct PoolCounts {
    std::size_t idle = 0;
    std::size_t busy = 0;
  };
  PoolCounts Pool();

  static std::string LoadFromNVString(std::string_view s, std::uint16_t key);

  // Closes every connection; logs "Destroying " and closing errors.
  void DataModuleDestroy();

  // The "BaseGlob" definition as prepared by LoadConnections (credentials unscrambled);
  // empty before. Set once, before requests share the data module.
  const ConnectionDef& Definition() const { return definition_; }

 private:
  class Lease;
  std::unique_ptr<TResultSet> Run(const TSQLParams& params, std::string_view sqlText, bool fixed);
  std::unique_ptr<DbConnection> Acquire();
  void Release(std::unique_ptr<DbConnection> connection);

  std::string moduleFolder_;
  TErrorLog& log_;
  int maxConnections_;
  ConnectionDef definition_;
  std::unique_ptr<DbDriver> driver_;  // absent until LoadConnections gets that far
  std::mutex mutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<DbConnection>> idle_;
  int inUse_ = 0;
  bool destroyed_ = false;
};

// The start key that data.ini's scrambled values were made with.
inline constexpr std::uint16_t kScrambleStartKey = 3;

}  // namespace tallyhand
