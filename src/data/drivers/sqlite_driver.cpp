#include "data/drivers/sqlite_driver.h"
#include "platform/ascii_case.h"

#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "data/drivers/sqlite_column_types.h"
#include "data/drivers/sqlite_statement_cache.h"
#include "data/statement_text.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr const char* kNoResultSet = "statement returned no result set";
constexpr const char* kProcedureLookup =
    "SELECT params, body FROM stored_procedures WHERE name = ?1";

// The allocator's statistics would serialise every allocation of every connection on
// one global lock; they must be switched off before SQLite initialises.
void InitialiseSqliteOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);  // fails harmlessly when already initialised
    sqlite3_initialize();
  });
}

// One writer at a time, waited for with a time limit. A condition variable rather than
// std::timed_mutex: GCC 12's ThreadSanitizer does not intercept the timed lock of the
// latter (pthread_mutex_clocklock) and then reports every unlock as an error.
class WriterTurn {
 public:
  bool try_lock_for(std::chrono::milliseconds timeout) {
    std::unique_lock guard(mutex_);
    if (!freed_.wait_for(guard, timeout, [this] { return !taken_; })) return false;
    taken_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      taken_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool taken_ = false;
};

std::string Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return std::string(text);
}

// The catalog's comma-separated parameter names; blanks and a leading ':' dropped.
std::vector<std::string> ParameterNames(std::string_view list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string name = Trimmed(list.substr(start, comma - start));
    if (!name.empty() && name.front() == ':') name.erase(0, 1);
    if (!name.empty()) names.push_back(std::move(name));
    start = comma + 1;
  }
  return names;
}

std::string Numbered(int index) { return "?" + std::to_string(index + 1); }

void BindValue(sqlite3* db, sqlite3_stmt* stmt, int position, const Value& value) {
  int rc = SQLITE_OK;
  if (value.IsNull()) {
    rc = sqlite3_bind_null(stmt, position);
  } else if (value.IsInteger()) {
    rc = sqlite3_bind_int64(stmt, position, value.Integer());
  } else if (value.IsFloat()) {
    rc = sqlite3_bind_double(stmt, position, value.Float());
  } else if (value.IsBoolean()) {
    rc = sqlite3_bind_int(stmt, position, value.Boolean() ? 1 : 0);
  } else {
    const std::string& text = value.Text();
    rc = sqlite3_bind_text64(stmt, position, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8);
  }
  if (rc != SQLITE_OK) throw EDatabaseError(sqlite3_errmsg(db));
}

// The value as SQLite stores it: integer, float, text (blobs as their bytes) or null.
Value StoredValue(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
      return Value();
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(stmt, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(stmt, column));
    case SQLITE_BLOB: {
      const void* bytes = sqlite3_column_blob(stmt, column);
      const int size = sqlite3_column_bytes(stmt, column);
      return Value(std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)));
    }
    default: {
      const unsigned char* text = sqlite3_column_text(stmt, column);
      const int size = sqlite3_column_bytes(stmt, column);
      return Value(std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)));
    }
  }
}

FieldType FieldTypeOfStored(const Value& value) {
  if (value.IsInteger()) return FieldType::Integer;
  if (value.IsFloat()) return FieldType::Float;
  return FieldType::String;
}

// A sqlite3_value copied out of a finished row, freed with it.
struct ValueCopy {
  sqlite3_value* value = nullptr;
  explicit ValueCopy(sqlite3_value* v) : value(v) {}
  ValueCopy(ValueCopy&& other) noexcept : value(other.value) { other.value = nullptr; }
  ValueCopy(const ValueCopy&) = delete;
  ValueCopy& operator=(const ValueCopy&) = delete;
  ValueCopy& operator=(ValueCopy&&) = delete;
  ~ValueCopy() { sqlite3_value_free(value); }
};

class SqliteConnection final : public DbConnection {
 public:
  SqliteConnection(const std::string& path, int busyTimeoutMs,
                   std::shared_ptr<WriterTurn> writerTurn)
      : cache_(kSqliteStatementCacheSize),
        busyTimeoutMs_(busyTimeoutMs),
        writerTurn_(std::move(writerTurn)) {
    InitialiseSqliteOnce();
    // Never create: a missing file must fail like an unreachable server. Each
    // connection is used by one thread at a time, so it needs no mutex of its own.
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      db_ = nullptr;
      throw EDatabaseError("Unable to open database '" + path + "': " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    try {
      Exec("PRAGMA journal_mode=WAL");
      // A file that is no database fails here rather than on the first statement.
      Exec("SELECT count(*) FROM sqlite_schema");
    } catch (...) {
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }

  ~SqliteConnection() override {
    cache_.Clear();
    if (db_ != nullptr) sqlite3_close_v2(db_);
  }

  void Close() override {
    cache_.Clear();
    if (db_ == nullptr) return;
    sqlite3* db = db_;
    db_ = nullptr;
    broken_ = true;
    if (sqlite3_close(db) != SQLITE_OK) {
      std::string message = sqlite3_errmsg(db);
      sqlite3_close_v2(db);
      throw EDatabaseError(message);
    }
  }

  bool IsAlive() override {
    if (broken_ || db_ == nullptr) return false;
    // A database file replaced or deleted underneath: reopening finds the current one.
    int moved = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
        moved != 0)
      broken_ = true;
    return !broken_;
  }

  std::unique_ptr<TResultSet> Execute(std::string_view sql,
                                      const std::vector<Value>& values) override {
    if (db_ == nullptr) throw EDatabaseError("The connection is closed");
    CheckSingleStatement(sql);
    const StatementMarkers markers = ParseMarkers(sql);
    if (values.size() > markers.names.size())
      throw EArgumentOutOfRangeException("Argument out of range");
    if (values.size() < markers.names.size())
      throw EDatabaseError("Parameter '" + markers.names[values.size()] + "' has no value");
    const std::string text =
        RewriteMarkers(sql, markers, [](int index, const std::string&) { return Numbered(index); });
    if (const std::optional<ProcedureCall> call = ParseProcedureCall(text))
      return RunProcedure(*call, values);
    return RunStatement(text, values);
  }

 private:
  // A script taken from the cache for one run, put back (reset) afterwards.
  class ScriptInUse {
   public:
    ScriptInUse(SqliteConnection& owner, std::string sql)
        : owner_(owner), sql_(std::move(sql)), script_(owner.Prepare(sql_)) {}
    ~ScriptInUse() { owner_.cache_.PutBack(sql_, std::move(script_)); }
    ScriptInUse(const ScriptInUse&) = delete;
    ScriptInUse& operator=(const ScriptInUse&) = delete;
    const PreparedScript& operator*() const { return script_; }
    const PreparedScript* operator->() const { return &script_; }

   private:
    SqliteConnection& owner_;
    std::string sql_;
    PreparedScript script_;
  };

  PreparedScript Prepare(const std::string& sql) {
    try {
      return cache_.Take(db_, sql);
    } catch (const EDatabaseError&) {
      NoteFailure(sqlite3_extended_errcode(db_));
      throw;
    }
  }

  // Errors after which the connection cannot be trusted; the pool then drops it.
  void NoteFailure(int rc) {
    switch (rc & 0xff) {
      case SQLITE_IOERR:
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
      case SQLITE_CANTOPEN:
        broken_ = true;
        break;
      default:
        if (rc == SQLITE_READONLY_DBMOVED) broken_ = true;
    }
  }

  [[noreturn]] void Fail() {
    NoteFailure(sqlite3_extended_errcode(db_));
    throw EDatabaseError(sqlite3_errmsg(db_));
  }

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
  }

  // Values by position; markers the text lacks (none, after the count check) get none.
  void BindAll(sqlite3_stmt* stmt, const std::vector<Value>& values) {
    const auto count = static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt));
    for (std::size_t i = 0; i < values.size() && i < count; ++i)
      BindValue(db_, stmt, static_cast<int>(i) + 1, values[i]);
  }

  void StepToEnd(sqlite3_stmt* stmt) {
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) return;
      if (rc != SQLITE_ROW) Fail();
    }
  }

  std::unique_ptr<TResultSet> Fetch(sqlite3_stmt* stmt) {
    const int count = sqlite3_column_count(stmt);
    std::vector<Column> columns;
    std::vector<std::optional<FieldType>> declared;
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(stmt, i);
      declared.push_back(FieldTypeFromDeclared(sqlite3_column_decltype(stmt, i)));
      columns.push_back({name != nullptr ? name : "", declared.back().value_or(FieldType::String)});
    }
    std::vector<bool> typeFromValue(static_cast<std::size_t>(count), false);
    std::vector<std::vector<Value>> rows;
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail();
      std::vector<Value> row;
      row.reserve(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) {
        const auto column = static_cast<std::size_t>(i);
        Value value = StoredValue(stmt, i);
        if (declared[column]) {
          value = ConvertForFieldType(std::move(value), *declared[column]);
        } else if (!typeFromValue[column] && !value.IsNull()) {
          // No declared type: the first value that is not null decides.
          columns[column].type = FieldTypeOfStored(value);
          typeFromValue[column] = true;
        }
        row.push_back(std::move(value));
      }
      rows.push_back(std::move(row));
    }
    return std::make_unique<TResultSet>(std::move(columns), std::move(rows));
  }

  std::unique_ptr<TResultSet> RunStatement(const std::string& text,
                                           const std::vector<Value>& values) {
    ScriptInUse script(*this, text);
    if (script->Statements().empty()) throw EDatabaseError(kNoResultSet);
    if (script->Statements().size() > 1)
      throw EDatabaseError("The statement text holds more than one statement");
    sqlite3_stmt* stmt = script->Statements().front();
    // Refused before it runs, so that it changes nothing.
    if (sqlite3_column_count(stmt) == 0) throw EDatabaseError(kNoResultSet);
    BindAll(stmt, values);
    return Fetch(stmt);
  }

  struct ProcedureDefinition {
    std::vector<std::string> parameters;
    std::string body;
  };

  ProcedureDefinition LookUp(const std::string& name) {
    ScriptInUse lookup(*this, kProcedureLookup);
    sqlite3_stmt* stmt = lookup->Statements().front();
    BindValue(db_, stmt, 1, Value(name));
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) throw EDatabaseError("Procedure " + name + " not found");
    if (rc != SQLITE_ROW) Fail();
    const unsigned char* params = sqlite3_column_text(stmt, 0);
    const unsigned char* body = sqlite3_column_text(stmt, 1);
    ProcedureDefinition definition;
    definition.parameters =
        ParameterNames(params != nullptr ? reinterpret_cast<const char*>(params) : "");
    definition.body = body != nullptr ? reinterpret_cast<const char*>(body) : "";
    return definition;
  }

  // The call's arguments, evaluated by SQLite with the caller's values bound.
  std::vector<ValueCopy> EvaluateArguments(const ProcedureCall& call,
                                           const std::vector<Value>& values) {
    std::vector<ValueCopy> arguments;
    if (call.arguments.empty()) return arguments;
    ScriptInUse select(*this, "SELECT " + call.argumentText);
    if (select->Statements().size() != 1)
      throw EDatabaseError("The arguments of procedure " + call.name + " are malformed");
    sqlite3_stmt* stmt = select->Statements().front();
    if (sqlite3_column_count(stmt) != static_cast<int>(call.arguments.size()))
      throw EDatabaseError("The arguments of procedure " + call.name + " are malformed");
    BindAll(stmt, values);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) Fail();
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      sqlite3_value* copy = sqlite3_value_dup(sqlite3_column_value(stmt, i));
      if (copy == nullptr) throw EDatabaseError("out of memory");
      arguments.emplace_back(copy);
    }
    return arguments;
  }

  // The body with its ":name" markers numbered by the parameter list's order.
  static std::string NumberBodyMarkers(const std::string& procedure,
                                       const ProcedureDefinition& definition) {
    const StatementMarkers markers = ParseMarkers(definition.body);
    std::vector<int> position(markers.names.size(), -1);
    for (std::size_t m = 0; m < markers.names.size(); ++m) {
      for (std::size_t p = 0; p < definition.parameters.size(); ++p) {
        if (EqualsIgnoringAsciiCase(markers.names[m], definition.parameters[p])) {
          position[m] = static_cast<int>(p);
          break;
        }
      }
      if (position[m] < 0)
        throw EDatabaseError("Procedure " + procedure + " uses :" + markers.names[m] +
                             ", which is not one of its parameters");
    }
    return RewriteMarkers(definition.body, markers, [&position](int index, const std::string&) {
      return Numbered(position[static_cast<std::size_t>(index)]);
    });
  }

  std::unique_ptr<TResultSet> RunProcedure(const ProcedureCall& call,
                                           const std::vector<Value>& values) {
    const ProcedureDefinition definition = LookUp(call.name);
    if (call.arguments.size() != definition.parameters.size())
      throw EDatabaseError("Procedure " + call.name + " takes " +
                           std::to_string(definition.parameters.size()) + " arguments, but " +
                           std::to_string(call.arguments.size()) + " were given");
    const std::vector<ValueCopy> arguments = EvaluateArguments(call, values);
    ScriptInUse body(*this, NumberBodyMarkers(call.name, definition));
    if (!body->ReturnsColumns()) throw EDatabaseError(kNoResultSet);

    // A body that writes takes the write lock at its start, waiting on the busy
    // timeout, so that it never fails upgrading a read lock held by its own snapshot.
    const bool outermost = sqlite3_get_autocommit(db_) != 0;
    // Writers of this process queue here for their turn instead of in SQLite's busy
    // handler, whose sleeps of up to 100 ms left the file idle while writers waited.
    std::unique_lock writer(*writerTurn_, std::defer_lock);
    if (outermost && !body->ReadOnly() &&
        !writer.try_lock_for(std::chrono::milliseconds(busyTimeoutMs_)))
      throw EDatabaseError("database is locked");
    if (outermost)
      Exec(body->ReadOnly() ? "BEGIN DEFERRED" : "BEGIN IMMEDIATE");
    else
      Exec("SAVEPOINT tallyhand_procedure");
    try {
      std::unique_ptr<TResultSet> result;
      for (sqlite3_stmt* stmt : body->Statements()) {
        const int bound = sqlite3_bind_parameter_count(stmt);
        for (int i = 1; i <= bound && static_cast<std::size_t>(i) <= arguments.size(); ++i) {
          if (sqlite3_bind_value(stmt, i, arguments[static_cast<std::size_t>(i - 1)].value) !=
              SQLITE_OK)
            Fail();
        }
        if (sqlite3_column_count(stmt) > 0)
          result = Fetch(stmt);
        else
          StepToEnd(stmt);
      }
      Exec(outermost ? "COMMIT" : "RELEASE tallyhand_procedure");
      return result;
    } catch (...) {
      if (sqlite3_get_autocommit(db_) == 0) {
        sqlite3_exec(db_,
                     outermost ? "ROLLBACK"
                               : "ROLLBACK TO tallyhand_procedure; RELEASE tallyhand_procedure",
                     nullptr, nullptr, nullptr);
      }
      throw;
    }
  }

  sqlite3* db_ = nullptr;
  StatementCache cache_;
  bool broken_ = false;
  const int busyTimeoutMs_;
  // Shared by every connection of one driver, so by every writer to its file.
  const std::shared_ptr<WriterTurn> writerTurn_;
};

class SqliteDriver final : public DbDriver {
 public:
  SqliteDriver(std::string path, int busyTimeoutMs)
      : path_(std::move(path)), busyTimeoutMs_(busyTimeoutMs) {}

  std::unique_ptr<DbConnection> Connect() override {
    return std::make_unique<SqliteConnection>(path_, busyTimeoutMs_, writerTurn_);
  }

 private:
  const std::string path_;
  const int busyTimeoutMs_;
  const std::shared_ptr<WriterTurn> writerTurn_ = std::make_shared<WriterTurn>();
};

int BusyTimeout(const ConnectionDef& def, const ConnectionDef& driverSettings) {
  const std::string text = Trimmed(def.Has(kSqliteBusyTimeoutSetting)
                                       ? def.Get(kSqliteBusyTimeoutSetting)
                                       : driverSettings.Get(kSqliteBusyTimeoutSetting));
  if (text.empty()) return kSqliteDefaultBusyTimeoutMs;
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0)
    throw EDatabaseError(std::string(kSqliteBusyTimeoutSetting) +
                         " must be a whole number of milliseconds, not '" + text + "'");
  return value;
}

}  // namespace

std::unique_ptr<DbDriver> MakeSqliteDriver(const ConnectionDef& def,
                                           const std::string& moduleFolder,
                                           const ConnectionDef& driverSettings) {
  std::string database = Trimmed(def.Get("Database"));
  if (database.empty())
    throw EDatabaseError("The connection definition names no Database for the SQLite driver");
  if (database.front() != '/') database = moduleFolder + database;
  return std::make_unique<SqliteDriver>(std::move(database), BusyTimeout(def, driverSettings));
}

}  // namespace tallyhand
