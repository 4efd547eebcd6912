#include "data/drivers/sqlite_statement_cache.h"

#include <sqlite3.h>

#include "platform/exception.h"

namespace tallyhand {

PreparedScript::~PreparedScript() { Finalize(); }

PreparedScript::PreparedScript(PreparedScript&& other) noexcept
    : statements_(std::move(other.statements_)) {
  other.statements_.clear();
}

PreparedScript& PreparedScript::operator=(PreparedScript&& other) noexcept {
  if (this != &other) {
    Finalize();
    statements_ = std::move(other.statements_);
    other.statements_.clear();
  }
  return *this;
}

void PreparedScript::Finalize() {
  for (sqlite3_stmt* stmt : statements_) sqlite3_finalize(stmt);
  statements_.clear();
}

PreparedScript PreparedScript::Prepare(sqlite3* db, const std::string& sql) {
  PreparedScript script;
  const char* rest = sql.c_str();
  const char* const end = sql.c_str() + sql.size();
  while (rest < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v3(db, rest, static_cast<int>(end - rest),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
    if (rc != SQLITE_OK) throw EDatabaseError(sqlite3_errmsg(db));
    if (stmt != nullptr) script.statements_.push_back(stmt);  // null: only blanks or comments
    if (tail == nullptr || tail <= rest) break;
    rest = tail;
  }
  return script;
}

bool PreparedScript::ReadOnly() const {
  for (sqlite3_stmt* stmt : statements_) {
    if (sqlite3_stmt_readonly(stmt) == 0) return false;
  }
  return true;
}

bool PreparedScript::ReturnsColumns() const {
  for (sqlite3_stmt* stmt : statements_) {
    if (sqlite3_column_count(stmt) > 0) return true;
  }
  return false;
}

void PreparedScript::Reset() {
  for (sqlite3_stmt* stmt : statements_) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
}

PreparedScript StatementCache::Take(sqlite3* db, const std::string& sql) {
  std::optional<PreparedScript> cached = scripts_.Take(sql);
  return cached ? std::move(*cached) : PreparedScript::Prepare(db, sql);
}

void StatementCache::PutBack(const std::string& sql, PreparedScript script) {
  script.Reset();
  scripts_.PutBack(sql, std::move(script));
}

}  // namespace tallyhand
