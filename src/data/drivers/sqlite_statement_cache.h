// Prepared SQLite statements of one connection, kept by their SQL text so that a text
// run again is not parsed again. A text may hold several statements (a procedure body).
#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
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

// A bounded cache of move-only values by key: a value is taken out while in use and
// put back afterwards, so a value in use is never evicted; the least recently used one
// goes first. A value taken leaves its entry behind, empty, so that putting it back
// allocates nothing: the key and the entry stay where they are.
template <typename T>
class TakeOutCache {
 public:
  explicit TakeOutCache(std::size_t capacity) : capacity_(capacity) {}

  // The value kept for key, removed from the cache; none when there is none.
  std::optional<T> Take(const std::string& key) {
    const auto found = index_.find(key);
    if (found == index_.end() || !found->second->second) return std::nullopt;
    std::optional<T> value(std::move(found->second->second));
    found->second->second.reset();
    entries_.splice(entries_.begin(), entries_, found->second);
    return value;
  }
  // Keeps value for key; an older value already back wins.
  void PutBack(const std::string& key, T value) {
    if (capacity_ == 0) return;
    const auto found = index_.find(key);
    if (found != index_.end()) {
      if (found->second->second) return;
      found->second->second.emplace(std::move(value));
      entries_.splice(entries_.begin(), entries_, found->second);
      return;
    }
    entries_.emplace_front(key, std::move(value));
    index_.emplace(key, entries_.begin());
    while (entries_.size() > capacity_) {
      index_.erase(entries_.back().first);
      entries_.pop_back();
    }
  }
  void Erase(const std::string& key) {
    const auto found = index_.find(key);
    if (found == index_.end()) return;
    entries_.erase(found->second);
    index_.erase(found);
  }
  void Clear() {
    index_.clear();
    entries_.clear();
  }

 private:
  using Entry = std::pair<std::string, std::optional<T>>;
  std::size_t capacity_;
  std::list<Entry> entries_;  // most recently used first; empty while taken
  std::unordered_map<std::string, typename std::list<Entry>::iterator> index_;
};

// Prepared scripts by their SQL text.
class StatementCache {
 public:
  explicit StatementCache(std::size_t capacity) : scripts_(capacity) {}

  // The cached script for sql, or a newly prepared one.
  PreparedScript Take(sqlite3* db, const std::string& sql);
  // Returns a script taken for sql (reset first); an older copy already back wins.
  void PutBack(const std::string& sql, PreparedScript script);
  void Clear() { scripts_.Clear(); }

 private:
  TakeOutCache<PreparedScript> scripts_;
};

}  // namespace tallyhand
