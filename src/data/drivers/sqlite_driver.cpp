#include "data/drivers/sqlite_driver.h"
#include "platform/ascii_case.h"

#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <memory>
#include <mutex>
#include <optional>

#include "data/drivers/sqlite_column_types.h"
#include "data/drivers/sqlite_statement.h"
#include "data/drivers/sqlite_statement_cache.h"
#include "data/drivers/write_groups.h"
#include "data/statement_text.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr const char* kNoResultSet = "statement returned no result set";
constexpr const char* kProcedureLookup =
    "SELECT params, body FROM stored_procedures WHERE name = ?1";
// Procedures whose numbered, prepared body is kept per connection, by called name.
constexpr std::size_t kProcedureCacheSize = 64;
// How often a connection asks whether its database file was replaced or deleted: the
// question costs a look-up of the file's path.
constexpr TDateTime kFileCheckInterval = 1.0 / (24.0 * 60.0 * 60.0);  // one second

// The allocator's statistics would serialise every allocation of every connection on
// one global lock; they must be switched off before SQLite initialises.
void InitialiseSqliteOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);  // fails harmlessly when already initialised
    sqlite3_initialize();
  });
}

// Writers of one group at most: bounds how long the last of them waits for the commit.
constexpr std::size_t kMaxWritersPerGroup = 64;

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

std::string_view ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : "";
}

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
// Read through the column's sqlite3_value, which spares the per-call checks of the
// sqlite3_column_* functions; safe because the connection is used by one thread at a time.
Value StoredValue(sqlite3_stmt* stmt, int column) {
  sqlite3_value* stored = sqlite3_column_value(stmt, column);
  switch (sqlite3_value_type(stored)) {
    case SQLITE_NULL:
      return Value();
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_value_int64(stored)));
    case SQLITE_FLOAT:
      return Value(sqlite3_value_double(stored));
    case SQLITE_BLOB: {
      const void* bytes = sqlite3_value_blob(stored);
      const int size = sqlite3_value_bytes(stored);
      if (size <= 0) return Value(std::string());  // an empty blob has no bytes at all
      if (bytes == nullptr) throw EDatabaseError("out of memory");
      return Value(std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)));
    }
    default: {
      const unsigned char* text = sqlite3_value_text(stored);
      const int size = sqlite3_value_bytes(stored);
      if (text == nullptr) throw EDatabaseError("out of memory");
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

class SqliteConnection;
using SqliteWriteGroups = WriteGroups<SqliteConnection>;

class SqliteConnection final : public DbConnection {
 public:
  // writeGroups: where this connection's writing calls go; none for the groups' own
  // connection, which writes itself.
  SqliteConnection(const std::string& path, int busyTimeoutMs,
                   std::shared_ptr<SqliteWriteGroups> writeGroups)
      : cache_(kSqliteStatementCacheSize),
        procedures_(kProcedureCacheSize),
        lastFileCheck_(Now()),
        writeGroups_(std::move(writeGroups)) {
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
      // Every commit synced to the disk before it is answered, group commits included.
      Exec("PRAGMA synchronous=FULL");
      // A file that is no database fails here rather than on the first statement.
      Exec("SELECT count(*) FROM sqlite_schema");
    } catch (...) {
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }

  ~SqliteConnection() override {
    FinalizeStatements();
    if (db_ != nullptr) sqlite3_close_v2(db_);
  }

  void Close() override {
    FinalizeStatements();
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
    if (FileCheckDue() &&
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
        moved != 0)
      broken_ = true;
    return !broken_;
  }

  std::unique_ptr<TResultSet> Execute(std::string_view sql,
                                      const std::vector<Value>& values) override {
    if (db_ == nullptr) throw EDatabaseError("The connection is closed");
    const SqliteStatement statement = TranslateForSqlite(sql);
    if (values.size() > statement.markerNames.size())
      throw EArgumentOutOfRangeException("Argument out of range");
    if (values.size() < statement.markerNames.size())
      throw EDatabaseError("Parameter '" + statement.markerNames[values.size()] + "' has no value");
    if (statement.call) return RunProcedure(*statement.call, values);
    return RunStatement(statement.text, values);
  }

  // The group's side (see write_groups.h), used on the groups' own connection only.
  void BeginGroup() { Step(beginImmediate_, "BEGIN IMMEDIATE"); }
  void RunMember(const SqliteWriteGroups::Work& work) {
    Step(savepoint_, "SAVEPOINT tallyhand_writer");
    try {
      work(*this);
      Step(release_, "RELEASE tallyhand_writer");
    } catch (...) {
      if (InGroup())
        sqlite3_exec(db_, "ROLLBACK TO tallyhand_writer; RELEASE tallyhand_writer", nullptr,
                     nullptr, nullptr);
      throw;
    }
  }
  bool InGroup() { return db_ != nullptr && sqlite3_get_autocommit(db_) == 0; }
  void CommitGroup() { Step(commit_, "COMMIT"); }
  void AbandonGroup() noexcept {
    if (InGroup()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  // A writing call as one writer of the group now open.
  std::unique_ptr<TResultSet> RunCallInGroup(const ProcedureCall& call,
                                             const std::vector<Value>& values) {
    ProcedureInUse procedure(*this, call.name);
    const std::vector<ValueCopy> arguments = Ready(call, values, *procedure);
    return RunBody(procedure->body, arguments);
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

  // A catalog procedure as this connection last ran it.
  struct CompiledProcedure {
    std::string paramsText;  // the catalog's texts it was made from
    std::string bodyText;
    std::vector<std::string> parameters;
    PreparedScript body;  // markers numbered; prepared once compiled
    bool compiled = false;
  };

  // A procedure taken from the cache for one run, put back (reset) afterwards when its
  // body got as far as being prepared.
  class ProcedureInUse {
   public:
    ProcedureInUse(SqliteConnection& owner, const std::string& name)
        : owner_(owner), name_(name), procedure_(owner.LookUp(name)) {}
    ~ProcedureInUse() {
      if (!procedure_.compiled) return;
      procedure_.body.Reset();
      owner_.procedures_.PutBack(name_, std::move(procedure_));
    }
    ProcedureInUse(const ProcedureInUse&) = delete;
    ProcedureInUse& operator=(const ProcedureInUse&) = delete;
    CompiledProcedure& operator*() { return procedure_; }
    CompiledProcedure* operator->() { return &procedure_; }

   private:
    SqliteConnection& owner_;
    const std::string& name_;
    CompiledProcedure procedure_;
  };

  // The call's arguments evaluated, its body compiled and checked to return rows.
  std::vector<ValueCopy> Ready(const ProcedureCall& call, const std::vector<Value>& values,
                               CompiledProcedure& procedure) {
    if (call.arguments.size() != procedure.parameters.size())
      throw EDatabaseError("Procedure " + call.name + " takes " +
                           std::to_string(procedure.parameters.size()) + " arguments, but " +
                           std::to_string(call.arguments.size()) + " were given");
    std::vector<ValueCopy> arguments = EvaluateArguments(call, values);
    if (!procedure.compiled) Compile(call.name, procedure);
    if (!procedure.body.ReturnsColumns()) throw EDatabaseError(kNoResultSet);
    return arguments;
  }

  void FinalizeStatements() {
    cache_.Clear();
    procedures_.Clear();
    for (PreparedScript* own : {&lookup_, &beginDeferred_, &beginImmediate_, &commit_,
                                &savepoint_, &release_})
      *own = PreparedScript();
  }

  // Due once a second has passed since the last check, or at once when the clock went
  // back (which real time never does), so that a step back cannot postpone the check.
  bool FileCheckDue() {
    const TDateTime now = Now();
    if (now >= lastFileCheck_ && now - lastFileCheck_ < kFileCheckInterval) return false;
    lastFileCheck_ = now;
    return true;
  }

  PreparedScript Prepare(const std::string& sql) {
    try {
      return cache_.Take(db_, sql);
    } catch (const EDatabaseError&) {
      NoteFailure(sqlite3_extended_errcode(db_));
      throw;
    }
  }

  PreparedScript PrepareUncached(const std::string& sql) {
    try {
      return PreparedScript::Prepare(db_, sql);
    } catch (const EDatabaseError&) {
      NoteFailure(sqlite3_extended_errcode(db_));
      throw;
    }
  }

  // One of the connection's own statements, prepared on first use.
  sqlite3_stmt* Own(PreparedScript& script, const char* sql) {
    if (script.Statements().empty()) script = PrepareUncached(sql);
    return script.Statements().front();
  }

  // Runs one of the connection's own statements that return no rows.
  void Step(PreparedScript& script, const char* sql) {
    sqlite3_stmt* stmt = Own(script, sql);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      NoteFailure(sqlite3_extended_errcode(db_));
      std::string message = sqlite3_errmsg(db_);
      sqlite3_reset(stmt);
      throw EDatabaseError(message);
    }
    sqlite3_reset(stmt);
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
    columns.reserve(static_cast<std::size_t>(count));
    declared.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(stmt, i);
      declared.push_back(FieldTypeFromDeclared(sqlite3_column_decltype(stmt, i)));
      columns.push_back({name != nullptr ? name : "", declared.back().value_or(FieldType::String)});
    }
    std::vector<bool> typeFromValue(static_cast<std::size_t>(count), false);
    // Every cell in one vector, with room for a short list's rows at its first row.
    constexpr std::size_t kUsualRows = 16;
    std::vector<Value> cells;
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail();
      if (cells.empty()) cells.reserve(kUsualRows * static_cast<std::size_t>(count));
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
        cells.push_back(std::move(value));
      }
    }
    return std::make_unique<TResultSet>(TResultSet::FromCells(std::move(columns), std::move(cells)));
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

  // The catalog's definition of the procedure; the kept one while the catalog's
  // parameter list and body are unchanged, so that a changed body takes effect at once.
  CompiledProcedure LookUp(const std::string& name) {
    sqlite3_stmt* stmt = Own(lookup_, kProcedureLookup);
    struct ResetAfter {
      sqlite3_stmt* stmt;
      ~ResetAfter() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
      }
    } resetAfter{stmt};
    if (sqlite3_bind_text64(stmt, 1, name.data(), name.size(), SQLITE_STATIC, SQLITE_UTF8) !=
        SQLITE_OK)
      throw EDatabaseError(sqlite3_errmsg(db_));
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
      procedures_.Erase(name);
      throw EDatabaseError("Procedure " + name + " not found");
    }
    if (rc != SQLITE_ROW) Fail();
    const std::string_view params = ColumnText(stmt, 0);
    const std::string_view body = ColumnText(stmt, 1);
    std::optional<CompiledProcedure> kept = procedures_.Take(name);
    if (kept && kept->paramsText == params && kept->bodyText == body) return std::move(*kept);
    CompiledProcedure fresh;
    fresh.paramsText = params;
    fresh.bodyText = body;
    fresh.parameters = ParameterNames(params);
    return fresh;
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
                                       const CompiledProcedure& definition) {
    const StatementMarkers markers = ParseMarkers(definition.bodyText);
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
    return RewriteMarkers(definition.bodyText, markers, [&position](int index, const std::string&) {
      return Numbered(position[static_cast<std::size_t>(index)]);
    });
  }

  void Compile(const std::string& name, CompiledProcedure& procedure) {
    procedure.body = PrepareUncached(NumberBodyMarkers(name, procedure));
    procedure.compiled = true;
  }

  // Runs the body's statements in order; the result is that of the last returning rows.
  std::unique_ptr<TResultSet> RunBody(const PreparedScript& body,
                                      const std::vector<ValueCopy>& arguments) {
    std::unique_ptr<TResultSet> result;
    for (sqlite3_stmt* stmt : body.Statements()) {
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
    return result;
  }

  std::unique_ptr<TResultSet> RunProcedure(const ProcedureCall& call,
                                           const std::vector<Value>& values) {
    const bool outermost = sqlite3_get_autocommit(db_) != 0;
    // At the outermost level the catalog is read in the transaction that then runs a
    // reading body: one snapshot per call instead of two, and every read transaction
    // begun queues the process's connections on the database's shared-memory lock.
    if (outermost) Step(beginDeferred_, "BEGIN DEFERRED");
    try {
      {
        ProcedureInUse procedure(*this, call.name);
        const std::vector<ValueCopy> arguments = Ready(call, values, *procedure);
        const PreparedScript& body = procedure->body;
        if (!outermost) return RunInSavepoint(body, arguments);
        if (body.ReadOnly()) {
          std::unique_ptr<TResultSet> result = RunBody(body, arguments);
          Step(commit_, "COMMIT");
          return result;
        }
        // A writer never upgrades the catalog's read snapshot.
        Step(commit_, "COMMIT");
        if (!writeGroups_) return RunAlone(body, arguments);
      }
      std::unique_ptr<TResultSet> result;
      writeGroups_->Run(
          [&](SqliteConnection& group) { result = group.RunCallInGroup(call, values); });
      return result;
    } catch (...) {
      if (outermost && sqlite3_get_autocommit(db_) == 0)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  // A writing body in a transaction of its own (on the groups' own connection).
  std::unique_ptr<TResultSet> RunAlone(const PreparedScript& body,
                                       const std::vector<ValueCopy>& arguments) {
    Step(beginImmediate_, "BEGIN IMMEDIATE");
    std::unique_ptr<TResultSet> result = RunBody(body, arguments);
    Step(commit_, "COMMIT");
    return result;
  }

  // Any body within a transaction already open.
  std::unique_ptr<TResultSet> RunInSavepoint(const PreparedScript& body,
                                             const std::vector<ValueCopy>& arguments) {
    Step(savepoint_, "SAVEPOINT tallyhand_procedure");
    try {
      std::unique_ptr<TResultSet> result = RunBody(body, arguments);
      Step(release_, "RELEASE tallyhand_procedure");
      return result;
    } catch (...) {
      if (sqlite3_get_autocommit(db_) == 0)
        sqlite3_exec(db_, "ROLLBACK TO tallyhand_procedure; RELEASE tallyhand_procedure",
                     nullptr, nullptr, nullptr);
      throw;
    }
  }

  sqlite3* db_ = nullptr;
  StatementCache cache_;
  TakeOutCache<CompiledProcedure> procedures_;
  // The connection's own statements, prepared on first use.
  PreparedScript lookup_;
  PreparedScript beginDeferred_;
  PreparedScript beginImmediate_;
  PreparedScript commit_;
  PreparedScript savepoint_;
  PreparedScript release_;
  bool broken_ = false;
  TDateTime lastFileCheck_;  // when the database file was last looked for
  // Shared by every connection of one driver, so by every writer to its file.
  const std::shared_ptr<SqliteWriteGroups> writeGroups_;
};

class SqliteDriver final : public DbDriver {
 public:
  SqliteDriver(std::string path, int busyTimeoutMs)
      : path_(std::move(path)),
        busyTimeoutMs_(busyTimeoutMs),
        writeGroups_(std::make_shared<SqliteWriteGroups>(
            [path = path_, busyTimeoutMs] {
              return std::make_unique<SqliteConnection>(path, busyTimeoutMs, nullptr);
            },
            kMaxWritersPerGroup)) {}

  std::unique_ptr<DbConnection> Connect() override {
    return std::make_unique<SqliteConnection>(path_, busyTimeoutMs_, writeGroups_);
  }

 private:
  const std::string path_;
  const int busyTimeoutMs_;
  const std::shared_ptr<SqliteWriteGroups> writeGroups_;
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
