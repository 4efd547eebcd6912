#include "data/drivers/postgres_driver.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>

#include <mutex>
#include <optional>
#include <unordered_map>

#include "data/drivers/postgres_statement.h"
#include "data/drivers/postgres_values.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr const char* kDefaultConnectTimeout = "5";
constexpr const char* kDefaultApplicationName = "Tallyhand";
// Session settings the value conversion relies on.
constexpr const char* kSessionOptions = "-c DateStyle=ISO,MDY -c lc_monetary=C";
// The system's own statements kept prepared per connection: a handful in practice; past
// this many, further ones run unprepared.
constexpr std::size_t kMaxPreparedStatements = 32;

struct OptionMapping {
  const char* name;     // in the connection definition
  const char* keyword;  // libpq's
  const char* fallback;
};

constexpr OptionMapping kConnectionOptions[] = {
    {"Server", "host", nullptr},
    {"Port", "port", nullptr},
    {"Database", "dbname", nullptr},
    {"User_Name", "user", nullptr},
    {"Password", "password", nullptr},
};

// Also read from the driver settings when the definition lacks them.
constexpr OptionMapping kFurtherOptions[] = {
    {"ConnectTimeout", "connect_timeout", kDefaultConnectTimeout},
    {"SSLMode", "sslmode", nullptr},
    {"SSLRootCert", "sslrootcert", nullptr},
    {"SSLCert", "sslcert", nullptr},
    {"SSLKey", "sslkey", nullptr},
    {"ApplicationName", "application_name", kDefaultApplicationName},
    {"KeepAlivesIdle", "keepalives_idle", nullptr},
    {"KeepAlivesInterval", "keepalives_interval", nullptr},
    {"KeepAlivesCount", "keepalives_count", nullptr},
    {"TCPUserTimeout", "tcp_user_timeout", nullptr},
};

std::string Trimmed(std::string text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  return text.substr(start);
}

std::string FromDefinitionOrSettings(const ConnectionDef& def, const ConnectionDef& settings,
                                     const char* name) {
  if (def.Has(name)) return def.Get(name);
  return settings.Get(name);
}

// libpq's messages span lines ("...\n\tIs the server running..."); the log wants one.
std::string OneLine(const char* message) {
  std::string out;
  bool pendingBlank = false;
  for (const char* p = message == nullptr ? "" : message; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) <= ' ') {
      pendingBlank = !out.empty();
      continue;
    }
    if (pendingBlank) out += ' ';
    pendingBlank = false;
    out += *p;
  }
  return out;
}

std::string ConnectionMessage(const PGconn* conn) {
  std::string message = OneLine(PQerrorMessage(conn));
  return message.empty() ? "The connection to the database server was lost" : message;
}

std::string ResultMessage(const PGresult* result, const PGconn* conn) {
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (primary != nullptr && *primary != '\0') return OneLine(primary);
  const std::string message = OneLine(PQresultErrorMessage(result));
  return message.empty() ? ConnectionMessage(conn) : message;
}

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using ResultHandle = std::unique_ptr<PGresult, ResultDeleter>;

void IgnoreNotice(void*, const char*) {}

class PostgresConnection final : public DbConnection {
 public:
  explicit PostgresConnection(PGconn* conn) : conn_(conn) {}
  ~PostgresConnection() override {
    if (conn_ != nullptr) PQfinish(conn_);
  }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  std::unique_ptr<TResultSet> Execute(std::string_view sql,
                                      const std::vector<Value>& values) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    CheckUsable();
    const PostgresStatement statement = TranslateForPostgres(sql);
    CheckValueCount(statement.markerNames, values);
    const ParameterTexts parameters(values);
    // Untyped text parameters: the server infers each one's type from its use.
    ResultHandle result(PQexecParams(conn_, statement.text.c_str(), parameters.Count(), nullptr,
                                     parameters.Pointers(), nullptr, nullptr, 0));
    return Finish(std::move(result), statement.words);
  }

  // Prepared on first use, then run by name: the server neither parses nor plans it again.
  std::unique_ptr<TResultSet> ExecuteFixed(std::string_view sql,
                                           const std::vector<Value>& values) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    CheckUsable();
    const PreparedStatement* prepared = PreparedFor(sql);
    if (prepared == nullptr) {
      const PostgresStatement statement = TranslateForPostgres(sql);
      CheckValueCount(statement.markerNames, values);
      if (prepared_.size() >= kMaxPreparedStatements) {
        const ParameterTexts parameters(values);
        ResultHandle result(PQexecParams(conn_, statement.text.c_str(), parameters.Count(),
                                         nullptr, parameters.Pointers(), nullptr, nullptr, 0));
        return Finish(std::move(result), statement.words);
      }
      prepared = &Prepare(sql, statement);
    }
    CheckValueCount(prepared->markerNames, values);
    const ParameterTexts parameters(values);
    ResultHandle result(PQexecPrepared(conn_, prepared->name.c_str(), parameters.Count(),
                                       parameters.Pointers(), nullptr, nullptr, 0));
    return Finish(std::move(result), prepared->words);
  }

  bool IsAlive() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) return false;
    // An idle connection receives nothing but notices, or the server's farewell and the
    // end of the stream. Nothing waiting (one poll, the usual case) means nothing has
    // changed; otherwise reading what is waiting (never blocking) lets libpq notice a
    // closed stream.
    for (int round = 0; round < 4; ++round) {
      pollfd waiting{PQsocket(conn_), POLLIN, 0};
      if (waiting.fd < 0) return false;
      const int ready = poll(&waiting, 1, 0);
      if (ready == 0) break;
      if (ready < 0 && errno != EINTR) return false;
      if (PQconsumeInput(conn_) == 0) return false;
      DiscardNotifications();
    }
    return PQstatus(conn_) == CONNECTION_OK;
  }

  // libpq marks the connection bad as soon as a statement meets a closed stream; a
  // statement that ended normally leaves it usable. No system call either way.
  bool StillUsableAfterStatement() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
  }

  void Close() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (conn_ != nullptr) PQfinish(conn_);  // sends the server a Terminate message
    conn_ = nullptr;
  }

 private:
  struct PreparedStatement {
    std::string name;
    std::vector<std::string> markerNames;
    std::vector<std::string> words;
  };

  // The values as libpq takes them: texts, null pointers for NULL.
  class ParameterTexts {
   public:
    explicit ParameterTexts(const std::vector<Value>& values) {
      texts_.reserve(values.size());
      for (const Value& value : values) texts_.push_back(PostgresParameterText(value));
      pointers_.reserve(texts_.size());
      for (const auto& text : texts_) pointers_.push_back(text ? text->c_str() : nullptr);
    }
    int Count() const { return static_cast<int>(pointers_.size()); }
    const char* const* Pointers() const { return pointers_.data(); }

   private:
    std::vector<std::optional<std::string>> texts_;
    std::vector<const char*> pointers_;
  };

  void CheckUsable() {
    if (conn_ == nullptr) throw EDatabaseError("The connection is closed");
    if (PQstatus(conn_) != CONNECTION_OK) throw EDatabaseError(ConnectionMessage(conn_));
  }

  static void CheckValueCount(const std::vector<std::string>& markerNames,
                              const std::vector<Value>& values) {
    if (values.size() > markerNames.size())
      throw EArgumentOutOfRangeException("Argument out of range");
    if (values.size() < markerNames.size())
      throw EDatabaseError("Parameter '" + markerNames[values.size()] + "' has no value");
  }

  const PreparedStatement* PreparedFor(std::string_view sql) const {
    const auto found = prepared_.find(std::string(sql));
    return found == prepared_.end() ? nullptr : &found->second;
  }

  const PreparedStatement& Prepare(std::string_view sql, const PostgresStatement& statement) {
    PreparedStatement prepared{"tallyhand_" + std::to_string(++preparedSoFar_),
                               statement.markerNames, statement.words};
    ResultHandle result(PQprepare(conn_, prepared.name.c_str(), statement.text.c_str(),
                                  static_cast<int>(statement.markerNames.size()), nullptr));
    DiscardNotifications();
    if (!result) throw EDatabaseError(ConnectionMessage(conn_));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
      throw EDatabaseError(ResultMessage(result.get(), conn_));
    return prepared_.emplace(std::string(sql), std::move(prepared)).first->second;
  }

  std::unique_ptr<TResultSet> Finish(ResultHandle result, const std::vector<std::string>& words) {
    DiscardNotifications();
    if (!result) throw EDatabaseError(ConnectionMessage(conn_));
    switch (PQresultStatus(result.get())) {
      case PGRES_TUPLES_OK:
        return ToResultSet(result.get(), words);
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY:
        RestoreSession();
        throw EDatabaseError("statement returned no result set");
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
      case PGRES_COPY_BOTH:
        EndCopy();
        RestoreSession();
        throw EDatabaseError("statement returned no result set");
      default:
        throw EDatabaseError(ResultMessage(result.get(), conn_));
    }
  }

  static std::unique_ptr<TResultSet> ToResultSet(const PGresult* result,
                                                 const std::vector<std::string>& words) {
    const int columnCount = PQnfields(result);
    const int rowCount = PQntuples(result);
    std::vector<Column> columns;
    std::vector<unsigned> typeIds;
    columns.reserve(static_cast<std::size_t>(columnCount));
    for (int c = 0; c < columnCount; ++c) {
      const unsigned typeId = PQftype(result, c);
      typeIds.push_back(typeId);
      columns.push_back({RestoreColumnNameCase(PQfname(result, c), words),
                         FieldTypeForPostgresType(typeId)});
    }
    std::vector<std::vector<Value>> rows;
    rows.reserve(static_cast<std::size_t>(rowCount));
    for (int r = 0; r < rowCount; ++r) {
      std::vector<Value> row;
      row.reserve(static_cast<std::size_t>(columnCount));
      for (int c = 0; c < columnCount; ++c) {
        if (PQgetisnull(result, r, c)) {
          row.emplace_back();
          continue;
        }
        const std::string_view text(PQgetvalue(result, r, c),
                                    static_cast<std::size_t>(PQgetlength(result, r, c)));
        row.push_back(PostgresTextToValue(text, typeIds[static_cast<std::size_t>(c)]));
      }
      rows.push_back(std::move(row));
    }
    return std::make_unique<TResultSet>(std::move(columns), std::move(rows));
  }

  // A COPY statement leaves the connection waiting for or sending data; end it so the
  // connection can run the next statement.
  void EndCopy() {
    for (int guard = 0; guard < 1000; ++guard) {
      ResultHandle next(PQgetResult(conn_));
      if (!next) return;
      const ExecStatusType status = PQresultStatus(next.get());
      if (status == PGRES_COPY_IN || status == PGRES_COPY_BOTH) {
        PQputCopyEnd(conn_, "COPY is not supported");
      } else if (status == PGRES_COPY_OUT) {
        char* buffer = nullptr;
        while (PQgetCopyData(conn_, &buffer, 0) > 0) PQfreemem(buffer);
      }
    }
  }

  // A statement without result set may have begun a transaction (BEGIN), changed a
  // session setting (SET DateStyle) or dropped prepared statements (DEALLOCATE); any of
  // these would outlive it on this pooled connection, holding back every later write,
  // changing how values read or failing the next fixed statement. Statements run in
  // automatic-commit mode, so an open transaction holds nothing of theirs.
  void RestoreSession() {
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
    PQclear(PQexec(conn_, "RESET ALL; DEALLOCATE ALL"));
    prepared_.clear();
  }

  void DiscardNotifications() {
    while (PGnotify* notification = PQnotifies(conn_)) PQfreemem(notification);
  }

  std::mutex mutex_;  // libpq allows one thread at a time on a connection
  PGconn* conn_;      // null once closed
  // The fixed statements prepared on this session, by the text they were asked for with.
  std::unordered_map<std::string, PreparedStatement> prepared_;
  unsigned long preparedSoFar_ = 0;  // names are never reused within a session
};

class PostgresDriver final : public DbDriver {
 public:
  explicit PostgresDriver(std::vector<std::pair<std::string, std::string>> parameters)
      : parameters_(std::move(parameters)) {}

  std::unique_ptr<DbConnection> Connect() override {
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const auto& [keyword, value] : parameters_) {
      keywords.push_back(keyword.c_str());
      values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    // expand_dbname 0: a database name is only ever a name, never a connection string.
    PGconn* conn = PQconnectdbParams(keywords.data(), values.data(), 0);
    if (conn == nullptr) throw EDatabaseError("Out of memory while connecting to the database server");
    if (PQstatus(conn) != CONNECTION_OK) {
      const std::string message = ConnectionMessage(conn);
      PQfinish(conn);
      throw EDatabaseError(message);
    }
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    return std::make_unique<PostgresConnection>(conn);
  }

 private:
  std::vector<std::pair<std::string, std::string>> parameters_;
};

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> PostgresConnectionParameters(
    const ConnectionDef& def, const ConnectionDef& driverSettings) {
  std::vector<std::pair<std::string, std::string>> parameters;
  for (const OptionMapping& option : kConnectionOptions) {
    std::string value = def.Get(option.name);
    if (std::string(option.name) != "Password") value = Trimmed(std::move(value));
    if (!value.empty()) parameters.emplace_back(option.keyword, std::move(value));
  }
  for (const OptionMapping& option : kFurtherOptions) {
    std::string value = Trimmed(FromDefinitionOrSettings(def, driverSettings, option.name));
    if (value.empty() && option.fallback != nullptr) value = option.fallback;
    if (!value.empty()) parameters.emplace_back(option.keyword, std::move(value));
  }
  parameters.emplace_back("client_encoding", "UTF8");
  std::string options = kSessionOptions;
  const std::string statementTimeout =
      Trimmed(FromDefinitionOrSettings(def, driverSettings, "StatementTimeout"));
  if (!statementTimeout.empty()) {
    // Goes into the options text, so nothing but a number may pass.
    if (!AllDigits(statementTimeout))
      throw EDatabaseError("StatementTimeout must be a number of milliseconds, not '" +
                           statementTimeout + "'");
    options += " -c statement_timeout=" + statementTimeout;
  }
  parameters.emplace_back("options", options);
  return parameters;
}

std::unique_ptr<DbDriver> MakePostgresDriver(const ConnectionDef& def,
                                             const ConnectionDef& driverSettings) {
  return std::make_unique<PostgresDriver>(PostgresConnectionParameters(def, driverSettings));
}

}  // namespace tallyhand
