#include "clock/found_key_cache.h"

#include <algorithm>

namespace tallyhand {

std::optional<FoundKeyCache::Owner> FoundKeyCache::Find(std::string_view keyText, TDateTime now) const {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(keyText);
  if (found == entries_.end() || !(now < found->second.expiry)) return std::nullopt;
  return found->second.owner;
}

void FoundKeyCache::Keep(std::string_view keyText, Owner owner, TDateTime expiry, TDateTime now) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= nextSweep_) DropExpired(now);
  if (entries_.size() >= capacity_) entries_.clear();
  entries_.insert_or_assign(std::string(keyText), Entry{owner, expiry});
}

std::size_t FoundKeyCache::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void FoundKeyCache::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  nextSweep_ = kFirstSweep;
}

void FoundKeyCache::DropExpired(TDateTime now) {
  std::erase_if(entries_, [now](const auto& entry) { return !(now < entry.second.expiry); });
  nextSweep_ = std::max(kFirstSweep, entries_.size() * 2);
}

}  // namespace tallyhand
