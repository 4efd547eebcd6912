// A key table that scans front to back, as the memory store must behave; optionally
// holding each user and company to a limit by removing the user's earliest entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "clock/session_keys.h"

namespace tallyhand {

class ScanningKeyTable {
 public:
  explicit ScanningKeyTable(std::size_t limit = std::numeric_limits<std::size_t>::max()) : limit_(limit) {}

  void Add(const std::string& key, std::int32_t uid, std::int32_t cid) {
    entries_.push_back(Tkey{Now() + kKeyLifetime, KeyText(key), uid, cid});
    if (limit_ == std::numeric_limits<std::size_t>::max()) return;
    std::size_t held = 0;
    for (const Tkey& entry : entries_) held += entry.Uid == uid && entry.cid == cid;
    if (held <= limit_) return;
    for (auto at = entries_.begin(); at != entries_.end(); ++at) {
      if (at->Uid == uid && at->cid == cid) {
        entries_.erase(at);
        return;
      }
    }
  }
  bool Check(std::string_view key, std::int32_t& uid, std::int32_t& cid) {
    const TDateTime now = Now();
    bool found = false;
    std::size_t position = 0;
    while (position < entries_.size() && !found) {
      const Tkey& entry = entries_[position];
      if (entry.Key == key && now < entry.ExpiryDate) {
        found = true;
        uid = entry.Uid;
        cid = entry.cid;
      }
      if (now > entry.ExpiryDate) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
      } else {
        ++position;
      }
    }
    return found;
  }
  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }

 private:
  std::size_t limit_;
  std::vector<Tkey> entries_;
};

}  // namespace tallyhand
