#include "data/mainDM.h"

#include <chrono>
#include <filesystem>
#include <optional>

#include "data/data_ini.h"
#include "data/statement_text.h"
#include "log/error_log.h"
#include "platform/exception.h"
#include "platform/operating_figures.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace {

constexpr const char* kDefinitionName = "BaseGlob";
constexpr const char* kNotAvailable =
    "Database connection is not available: the data module's set-up failed";

}  // namespace

// One connection taken from the pool for one statement, checked alive when taken. It
// goes back when the lease ends, unless the statement found it unusable: then it is
// dropped and a new one opened later.
class TMainDM::Lease {
 public:
  explicit Lease(TMainDM& owner) : owner_(owner), connection_(owner.Acquire()) {}
  ~Lease() {
    if (!connection_->StillUsableAfterStatement()) {
      Figures().CountReconnect();
      connection_.reset();
    }
    owner_.Release(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  DbConnection& operator*() { return *connection_; }
  DbConnection* operator->() { return connection_.get(); }

 private:
  TMainDM& owner_;
  std::unique_ptr<DbConnection> connection_;
};

TMainDM::TMainDM(std::string moduleFolder, TErrorLog& log, int maxConnections)
    : moduleFolder_(std::move(moduleFolder)),
      log_(log),
      maxConnections_(maxConnections > 0 ? maxConnections : 1) {}

TMainDM::~TMainDM() {
  DataModuleDestroy();
  // Connections still leased close as they come back; wait for them before the
  // driver they came from goes away.
  std::unique_lock lock(mutex_);
  available_.wait(lock, [this] { return inUse_ == 0; });
}

void TMainDM::LoadConnections() {
  const std::string iniPath = moduleFolder_ + "data.ini";
  DataIniScan scan;
  std::optional<ConnectionDef> definition;
  {
    const TextLines text = ReadTextLines(iniPath);
    scan = ScanDataIni(text.lines);
    definition = FindIniSection(text.lines, kDefinitionName);
  }
  if (!definition)
    throw EDatabaseError(std::string("Connection definition [") + kDefinitionName +
                         "] is not found in [" + iniPath + "]");
  definition->Set("User_Name", LoadFromNVString(scan.userName, kScrambleStartKey));
  definition->Set("Password", LoadFromNVString(scan.password, kScrambleStartKey));

  ConnectionDef driverSettings;
  const std::string driversPath = moduleFolder_ + "FDDrivers.ini";
  std::error_code ignored;
  if (std::filesystem::exists(driversPath, ignored))
    driverSettings = ReadAllIniEntries(ReadTextLines(driversPath).lines);

  std::unique_ptr<DbDriver> driver = MakeDriver(*definition, moduleFolder_, driverSettings);
  definition_ = std::move(*definition);
  {
    std::lock_guard lock(mutex_);
    driver_ = std::move(driver);
  }
  CheckConnection();
}

void TMainDM::CheckConnection() { Lease lease(*this); }

std::unique_ptr<DbConnection> TMainDM::Acquire() {
  DbDriver* driver = nullptr;
  std::unique_ptr<DbConnection> candidate;
  {
    std::unique_lock lock(mutex_);
    if (!driver_) throw EDatabaseError(kNotAvailable);
    available_.wait(lock, [this] { return destroyed_ || inUse_ < maxConnections_; });
    if (destroyed_) throw EDatabaseError("The data module has been destroyed");
    ++inUse_;  // the slot is ours from here on, whether reused or newly opened
    driver = driver_.get();
    if (!idle_.empty()) {
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  while (candidate) {
    if (candidate->IsAlive()) return candidate;
    Figures().CountReconnect();
    candidate.reset();  // dropped by the server: closed here, outside the lock
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  try {
    return driver->Connect();
  } catch (...) {
    Release(nullptr);
    throw;
  }
}

void TMainDM::Release(std::unique_ptr<DbConnection> connection) {
  {
    std::lock_guard lock(mutex_);
    --inUse_;
    if (connection && !destroyed_) idle_.push_back(std::move(connection));
    // Notified under the lock: the destructor may be waiting to free the condition.
    available_.notify_all();
  }
  // A connection not kept closes here, outside the lock.
}

std::unique_ptr<TResultSet> TMainDM::ExecuteQuery(const TSQLParams& params,
                                                  std::string_view sqlText) {
  return Run(params, sqlText, false);
}

std::unique_ptr<TResultSet> TMainDM::ExecuteFixedQuery(const TSQLParams& params,
                                                       std::string_view sqlText) {
  return Run(params, sqlText, true);
}

std::unique_ptr<TResultSet> TMainDM::Run(const TSQLParams& params, std::string_view sqlText,
                                         bool fixed) {
  // More values than markers is a binding error: nothing runs and nothing is logged.
  const StatementMarkers markers = ParseMarkers(sqlText);
  if (static_cast<std::size_t>(params.Size()) > markers.names.size())
    throw EArgumentOutOfRangeException("Argument out of range");
  try {
    Lease lease(*this);
    const auto started = std::chrono::steady_clock::now();
    try {
      std::unique_ptr<TResultSet> result = fixed ? lease->ExecuteFixed(sqlText, params.FSQLParams)
                                                 : lease->Execute(sqlText, params.FSQLParams);
      Figures().CountStatement(std::chrono::steady_clock::now() - started, false);
      return result;
    } catch (...) {
      Figures().CountStatement(std::chrono::steady_clock::now() - started, true);
      throw;
    }
  } catch (const std::exception& e) {
    try {
      log_.AddToLog(std::string("ExecuteQuery: ") + e.what());
    } catch (...) {
      // The statement's own error matters more than a failing log file.
    }
    throw;
  }
}

TMainDM::PoolCounts TMainDM::Pool() {
  std::lock_guard lock(mutex_);
  return {idle_.size(), static_cast<std::size_t>(inUse_)};
}

void TMainDM::DataModuleDestroy() {
  std::vector<std::unique_ptr<DbConnection>> closing;
  {
    std::lock_guard lock(mutex_);
    if (destroyed_) return;
    destroyed_ = true;
    closing.swap(idle_);
  }
  available_.notify_all();
  try {
    log_.AddToLog("Destroying ");
  } catch (...) {
    // Destruction goes on without its log line.
  }
  for (auto& connection : closing) {
    try {
      connection->Close();
    } catch (const std::exception& e) {
      try {
        log_.AddToLog(std::string("Error closing connections: ") + e.what());
      } catch (...) {
      }
    }
  }
}

}  // namespace tallyhand
