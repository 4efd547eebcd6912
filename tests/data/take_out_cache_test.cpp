#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/drivers/sqlite_statement_cache.h"

namespace tallyhand {
namespace {

// Move-only like a prepared script; the number tells which one came back.
using Item = std::unique_ptr<int>;

Item Make(int n) { return std::make_unique<int>(n); }

// What Take gives for key: the item's number, or -1 when nothing is kept.
int TakeNumber(TakeOutCache<Item>& cache, const std::string& key) {
  std::optional<Item> item = cache.Take(key);
  return item && *item ? **item : -1;
}

TEST(TakeOutCache, TakePutBackAndEvictionTable) {
  // Each step: 'p' puts back key with number, 't' takes key expecting number (-1: none),
  // 'e' erases key, 'c' clears.
  struct Step {
    char op;
    const char* key;
    int number;
  };
  struct Case {
    const char* what;
    std::size_t capacity;
    std::vector<Step> steps;
  } cases[] = {
      {"a value put back is taken again, once", 2,
       {{'p', "a", 1}, {'t', "a", 1}, {'t', "a", -1}, {'p', "a", 2}, {'t', "a", 2}}},
      {"an older value already back wins", 2,
       {{'p', "a", 1}, {'p', "a", 2}, {'t', "a", 1}, {'t', "a", -1}}},
      {"a value taken twice over: the first back is kept", 2,
       {{'p', "a", 1}, {'t', "a", 1}, {'t', "a", -1}, {'p', "a", 3}, {'p', "a", 4}, {'t', "a", 3}}},
      {"the least recently used goes first", 2,
       {{'p', "a", 1}, {'p', "b", 2}, {'p', "c", 3}, {'t', "a", -1}, {'t', "b", 2}, {'t', "c", 3}}},
      {"a take counts as a use", 2,
       {{'p', "a", 1}, {'p', "b", 2}, {'t', "a", 1}, {'p', "a", 1}, {'p', "c", 3},
        {'t', "b", -1}, {'t', "a", 1}, {'t', "c", 3}}},
      {"a value in use is back after others filled the cache", 1,
       {{'p', "a", 1}, {'t', "a", 1}, {'p', "b", 2}, {'p', "a", 5}, {'t', "a", 5}, {'t', "b", -1}}},
      {"capacity zero keeps nothing", 0, {{'p', "a", 1}, {'t', "a", -1}}},
      {"erase and clear forget values, taken or not", 3,
       {{'p', "a", 1}, {'p', "b", 2}, {'t', "b", 2}, {'e', "a", 0}, {'e', "b", 0}, {'t', "a", -1},
        {'p', "b", 6}, {'t', "b", 6}, {'p', "b", 6}, {'p', "c", 7}, {'c', "", 0},
        {'t', "b", -1}, {'t', "c", -1}, {'p', "c", 8}, {'t', "c", 8}}},
  };
  for (const Case& c : cases) {
    TakeOutCache<Item> cache(c.capacity);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      switch (s.op) {
        case 'p': cache.PutBack(s.key, Make(s.number)); break;
        case 't': EXPECT_EQ(TakeNumber(cache, s.key), s.number) << c.what << ", step " << i; break;
        case 'e': cache.Erase(s.key); break;
        case 'c': cache.Clear(); break;
      }
    }
  }
}

}  // namespace
}  // namespace tallyhand
