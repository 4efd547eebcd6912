// Prepared SQLite statements of one connection, kept by their SQL text so that a text
// run again is not parsed again. A text may hold several statements (a procedure body).
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tallyhand {

// The statements of one SQL text, in order; finalized on destruction.
class PreparedScript {
 public:
  PreparedScript() = default;
  ~PreparedScript();
  PreparedScript(PreparedScript&& other) noexcept;
  PreparedScript& operator=(PreparedScript&& other) noexcept;
  PreparedScript(const PreparedScript&) = delete;
  PreparedScript& operator=(const PreparedScript&) = delete;

  // Prepares every statement of sql; raises EDatabaseError with SQLite's message.
  static PreparedScript Prepare(sqlite3* db, const std::string& sql);

  const std::vector<sqlite3_stmt*>& Statements() const { return statements_; }
  // True when no statement writes to the database.
  bool ReadOnly() const;
  // True when some statement returns columns.
  bool ReturnsColumns() const;
  // Resets every statement and clears its bindings, ready for the next run.
  void Reset();

 private:
  void Finalize();
  std::vector<sqlite3_stmt*> statements_;
};

// A bounded cache: a script is taken out while in use and put back afterwards, so a
// script in use is never evicted; the least recently used one goes first.
class StatementCache {
 public:
  explicit StatementCache(std::size_t capacity) : capacity_(capacity) {}

  // The cached script for sql, or a newly prepared one.
  PreparedScript Take(sqlite3* db, const std::string& sql);
  // Returns a script taken for sql (reset first); an older copy already back wins.
  void PutBack(const std::string& sql, PreparedScript script);
  void Clear();

 private:
  using Entry = std::pair<std::string, PreparedScript>;
  std::size_t capacity_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace tallyhand
