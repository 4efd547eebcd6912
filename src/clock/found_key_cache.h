// The keys a server has found in a shared store, kept until their expiry: a key is
// never extended, so what was live stays live until then and a lookup need not ask the
// store again. A key the cache does not hold live is always looked up in the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/datetime.h"

namespace tallyhand {

class FoundKeyCache {
 public:
  struct Owner {
    std::int32_t uid;
    std::int32_t cid;
  };

  // capacity: keys held at most; past it the cache starts afresh (a dropped key only
  // costs one more lookup in the store).
  explicit FoundKeyCache(std::size_t capacity) : capacity_(capacity) {}

  // The key's owner when the cache holds the key and it is live at now.
  std::optional<Owner> Find(std::string_view keyText, TDateTime now) const;
  void Keep(std::string_view keyText, Owner owner, TDateTime expiry, TDateTime now);
  std::size_t Size() const;
  void Clear();

 private:
  struct Entry {
    Owner owner;
    TDateTime expiry;
  };
  // Lets a lookup hash the request's text without copying it.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  // Removes the expired keys once the cache has doubled since the last time, so that
  // the removal costs a constant share per kept key.
  void DropExpired(TDateTime now);

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> entries_;
  std::size_t nextSweep_ = kFirstSweep;
  static constexpr std::size_t kFirstSweep = 1024;
};

}  // namespace tallyhand
