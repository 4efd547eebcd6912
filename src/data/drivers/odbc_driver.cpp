#include "data/drivers/odbc_driver.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>

#include "data/drivers/odbc_handle.h"
#include "data/drivers/odbc_result.h"
#include "data/drivers/odbc_settings.h"
#include "data/drivers/odbc_statement.h"
#include "data/drivers/odbc_text.h"
#include "data/drivers/odbc_values.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

// The driver manager keeps process-wide state (its cache of odbcinst.ini and odbc.ini,
// the drivers it has loaded) that it never frees. Unloading the module would unload the
// driver manager with it and strand that state, once per load; kept resident, it stays
// reachable and is reused when the module is loaded again.
void KeepDriverManagerLoaded() {
  static const bool kept = [] {
    for (const char* library : {"libodbc.so.2", "libodbcinst.so.2"})
      dlopen(library, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    return true;
  }();
  (void)kept;
}

SQLPOINTER AsAttribute(unsigned value) {
  return reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(value));
}

// What the connections of one driver share: the environment handle, and the number of
// lost links noticed so far. A connection opened before the latest loss is taken for
// dead: most drivers only notice a dropped link when they next use it, so that an idle
// connection of a restarted server would otherwise cost a request an error answer.
struct OdbcEnvironment {
  OdbcHandle handle;
  std::atomic<std::uint64_t> linkLosses{0};
};

class OdbcConnection final : public DbConnection {
 public:
  OdbcConnection(std::shared_ptr<OdbcEnvironment> environment, OdbcHandle connection,
                 const OdbcSettings& settings, std::uint64_t linkLossesAtOpen)
      : environment_(std::move(environment)),
        connection_(std::move(connection)),
        procedureCall_(settings.procedureCall),
        queryTimeoutSeconds_(settings.queryTimeoutSeconds),
        linkLossesAtOpen_(linkLossesAtOpen) {}
  ~OdbcConnection() override {
    if (connection_) SQLDisconnect(connection_.Get());
  }
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  std::unique_ptr<TResultSet> Execute(std::string_view sql,
                                      const std::vector<Value>& values) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_) throw EDatabaseError("The connection is closed");
    if (linkLost_) throw EDatabaseError("The connection to the database server was lost");

    const OdbcStatement statement = TranslateForOdbc(sql, procedureCall_);
    if (values.size() > statement.markerNames.size())
      throw EArgumentOutOfRangeException("Argument out of range");
    if (values.size() < statement.markerNames.size())
      throw EDatabaseError("Parameter '" + statement.markerNames[values.size()] + "' has no value");
    // A deque keeps each bound buffer in place.
    std::deque<OdbcParameter> parameters;
    for (const Value& value : values) parameters.emplace_back(value);

    OdbcHandle handle;
    const SQLRETURN allocated = handle.Allocate(SQL_HANDLE_STMT, connection_.Get());
    if (!SQL_SUCCEEDED(allocated)) Fail(SQL_HANDLE_DBC, connection_.Get(), "SQLAllocHandle");
    const SQLHSTMT hstmt = handle.Get();
    const OdbcStatementCheck check = [this, hstmt](SQLRETURN rc, std::string_view call) {
      if (!SQL_SUCCEEDED(rc)) Fail(SQL_HANDLE_STMT, hstmt, call);
    };
    if (queryTimeoutSeconds_ > 0)
      check(SQLSetStmtAttr(hstmt, SQL_ATTR_QUERY_TIMEOUT, AsAttribute(queryTimeoutSeconds_),
                           SQL_IS_UINTEGER),
            "SQLSetStmtAttr");
    for (std::size_t i = 0; i < statement.parameterMarkers.size(); ++i) {
      OdbcParameter& parameter = parameters[static_cast<std::size_t>(statement.parameterMarkers[i])];
      check(SQLBindParameter(hstmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                             parameter.CType(), parameter.SqlType(), parameter.ColumnSize(), 0,
                             parameter.Buffer(), parameter.BufferLength(), parameter.Indicator()),
            "SQLBindParameter");
    }

    std::vector<SQLWCHAR> text = ToSqlWide(statement.text);
    const auto length = static_cast<SQLINTEGER>(text.size());
    text.push_back(0);
    const SQLRETURN executed = SQLExecDirectW(hstmt, text.data(), length);
    SQLSMALLINT columns = 0;
    if (executed != SQL_NO_DATA) {  // SQL_NO_DATA: a write that touched no row
      check(executed, "SQLExecDirect");
      check(SQLNumResultCols(hstmt, &columns), "SQLNumResultCols");
    }
    if (columns == 0) {
      // It may have begun a transaction or changed a session setting, which would outlive
      // it on this pooled connection; no driver-neutral way undoes that, so the
      // connection is not used again.
      sessionChanged_ = true;
      throw EDatabaseError("statement returned no result set");
    }
    return FetchResultSet(hstmt, columns, check);
  }

  bool IsAlive() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_ || linkLost_ || sessionChanged_) return false;
    if (environment_->linkLosses.load() != linkLossesAtOpen_) return false;
    return !DriverReportsDead();
  }

  void Close() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_) return;
    const SQLRETURN rc = SQLDisconnect(connection_.Get());
    std::string message;
    if (!SQL_SUCCEEDED(rc))
      message = ReadDiagnostics(SQL_HANDLE_DBC, connection_.Get(), "SQLDisconnect").message;
    connection_.Free();
    if (!message.empty()) throw EDatabaseError(message);
  }

 private:
  // Asks the driver without a round trip to the server; a driver that cannot tell says
  // nothing.
  bool DriverReportsDead() {
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc =
        SQLGetConnectAttr(connection_.Get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
  }

  [[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, std::string_view call) {
    const OdbcDiagnostics diagnostics = ReadDiagnostics(type, handle, call);
    if (!linkLost_ && (diagnostics.linkLost || DriverReportsDead())) {
      linkLost_ = true;
      environment_->linkLosses.fetch_add(1);
    }
    throw EDatabaseError(diagnostics.message);
  }

  std::mutex mutex_;  // one thread at a time on a connection
  std::shared_ptr<OdbcEnvironment> environment_;
  OdbcHandle connection_;  // empty once closed; freed before the environment
  ProcedureCallStyle procedureCall_;
  unsigned queryTimeoutSeconds_;
  std::uint64_t linkLossesAtOpen_;
  bool linkLost_ = false;
  bool sessionChanged_ = false;
};

class OdbcDriver final : public DbDriver {
 public:
  OdbcDriver(const ConnectionDef& def, const ConnectionDef& driverSettings) {
    // A definition that cannot be used is reported at each connection attempt, like an
    // unreachable server, so that every request says why.
    try {
      settings_ = ReadOdbcSettings(def, driverSettings);
    } catch (const EDatabaseError& e) {
      definitionError_ = e.Message();
    }
  }

  std::unique_ptr<DbConnection> Connect() override {
    if (!definitionError_.empty()) throw EDatabaseError(definitionError_);
    const std::shared_ptr<OdbcEnvironment> environment = Environment();
    const std::uint64_t linkLosses = environment->linkLosses.load();

    OdbcHandle connection;
    if (!SQL_SUCCEEDED(connection.Allocate(SQL_HANDLE_DBC, environment->handle.Get())))
      throw EDatabaseError(
          ReadDiagnostics(SQL_HANDLE_ENV, environment->handle.Get(), "SQLAllocHandle").message);
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(connection.Get(), SQL_ATTR_LOGIN_TIMEOUT,
                                         AsAttribute(settings_.loginTimeoutSeconds),
                                         SQL_IS_UINTEGER)))
      throw EDatabaseError(
          ReadDiagnostics(SQL_HANDLE_DBC, connection.Get(), "SQLSetConnectAttr").message);
    std::vector<SQLWCHAR> text = ToSqlWide(settings_.connectionString);
    if (text.size() >= static_cast<std::size_t>(std::numeric_limits<SQLSMALLINT>::max()))
      throw EDatabaseError("The ODBC connection string is too long");
    const auto length = static_cast<SQLSMALLINT>(text.size());
    text.push_back(0);
    const SQLRETURN rc = SQLDriverConnectW(connection.Get(), nullptr, text.data(), length, nullptr,
                                           0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc))
      throw EDatabaseError(
          ReadDiagnostics(SQL_HANDLE_DBC, connection.Get(), "SQLDriverConnect").message);
    return std::make_unique<OdbcConnection>(environment, std::move(connection), settings_,
                                            linkLosses);
  }

 private:
  // Made on the first connection attempt, so that a driver manager that cannot make one
  // fails like a connection and is tried again.
  std::shared_ptr<OdbcEnvironment> Environment() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (environment_) return environment_;
    KeepDriverManagerLoaded();
    auto environment = std::make_shared<OdbcEnvironment>();
    if (!SQL_SUCCEEDED(environment->handle.Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE)))
      throw EDatabaseError("The ODBC driver manager cannot allocate an environment");
    const SQLRETURN rc = SQLSetEnvAttr(environment->handle.Get(), SQL_ATTR_ODBC_VERSION,
                                       reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(rc))
      throw EDatabaseError(
          ReadDiagnostics(SQL_HANDLE_ENV, environment->handle.Get(), "SQLSetEnvAttr").message);
    environment_ = std::move(environment);
    return environment_;
  }

  OdbcSettings settings_;
  std::string definitionError_;
  std::mutex mutex_;
  std::shared_ptr<OdbcEnvironment> environment_;
};

}  // namespace

std::unique_ptr<DbDriver> MakeOdbcDriver(const ConnectionDef& def,
                                         const ConnectionDef& driverSettings) {
  return std::make_unique<OdbcDriver>(def, driverSettings);
}

}  // namespace tallyhand
