#include "clock/session_keys.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "clock/key_text_index.h"
#include "platform/exception.h"

namespace tallyhand {

namespace {

// Lookups must give exactly what a front-to-back scan of the issue-ordered table gives:
// stop at the first live entry with the text (now before its expiry), removing on the
// way every entry whose expiry lies before now; without a match, remove every such entry.
// An entry whose expiry equals now is neither matched nor removed.
//
// While the local clock runs forward, expiries grow in issue order, so the entries the
// scan would remove are exactly the expired prefix of the table, and the match (being
// live) lies behind all of them. Then a hash index finds the match and popping the
// expired prefix does the removal: cost independent of the table size.
//
// When the local clock has stepped back (end of daylight saving time, a manual change),
// a later key can expire before an earlier one; expired entries may then sit behind a
// live match, which the scan leaves alone. To keep KeyCount and every later answer the
// same as the scan's, the removal then walks the table (the lookup itself still uses the
// index) until the entries issued before the step have left it: the first lookup after
// they have all expired, at most the size of the step plus 15 minutes after the change.
class KeyTable {
 public:
  // keyText is a GenerateKeyText result: exactly kKeyLength letters.
  void Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) {
    KeyText text{};
    std::copy_n(keyText.begin(), std::min(keyText.size(), text.size()), text.begin());
    std::lock_guard lock(mutex_);
    // Now is read under the lock so that concurrent issues stay in expiry order.
    const TDateTime expiry = Now() + kKeyLifetime;
    const bool outOfOrder = !issued_.empty() && expiry < issued_.back().expiry;
    const std::uint64_t sequence = nextSequence_++;
    index_.Insert(text, Holder{expiry, uid, cid, sequence});
    try {
      issued_.push_back(Issued{text, expiry, sequence});
    } catch (...) {
      index_.Erase(text, sequence);  // out of memory: leave the table as it was
      throw;
    }
    if (outOfOrder) expiryOrdered_ = false;
  }

  bool Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) {
    std::lock_guard lock(mutex_);
    const TDateTime now = Now();
    const Holder* match = FirstLiveMatch(keyText, now);
    const bool found = match != nullptr;
    if (found) {
      uid = match->uid;
      cid = match->cid;
    }
    // match is not used past here: removals move index entries.
    const std::uint64_t limit = found ? match->sequence : std::numeric_limits<std::uint64_t>::max();
    if (expiryOrdered_) {
      DropExpiredPrefix(now);
    } else {
      DropExpiredBefore(limit, now);
    }
    return found;
  }

  std::int32_t Count() {
    std::lock_guard lock(mutex_);
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(issued_.size(), kMax));
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    index_.Clear();
    issued_.clear();
    expiryOrdered_ = true;
  }

 private:
  using KeyText = KeyTextIndex::KeyText;
  using Holder = KeyTextIndex::Holder;

  // The table in issue order, for the expiry rules.
  struct Issued {
    KeyText text;
    TDateTime expiry;
    std::uint64_t sequence;
  };

  // The issued entry with the text that a front-to-back scan meets first while it is live.
  const Holder* FirstLiveMatch(std::string_view keyText, TDateTime now) const {
    if (keyText.size() != kKeyLength) return nullptr;
    KeyText text;
    std::copy_n(keyText.begin(), text.size(), text.begin());
    return index_.FirstLive(text, now);
  }

  void Unindex(const Issued& entry) { index_.Erase(entry.text, entry.sequence); }

  void DropExpiredPrefix(TDateTime now) {
    while (!issued_.empty() && issued_.front().expiry < now) {
      Unindex(issued_.front());
      issued_.pop_front();
    }
  }

  // The scan's removals when issue order and expiry order differ: every expired entry
  // issued before `limit`.
  void DropExpiredBefore(std::uint64_t limit, TDateTime now) {
    auto dropped = [&](const Issued& entry) { return entry.sequence < limit && entry.expiry < now; };
    bool anyDropped = false;
    for (const Issued& entry : issued_) {
      if (dropped(entry)) {
        Unindex(entry);
        anyDropped = true;
      }
    }
    if (!anyDropped) return;
    std::erase_if(issued_, dropped);
    // Removals may have restored the order.
    expiryOrdered_ = std::is_sorted(issued_.begin(), issued_.end(),
                                    [](const Issued& a, const Issued& b) { return a.expiry < b.expiry; });
  }

  std::mutex mutex_;
  std::deque<Issued> issued_;
  KeyTextIndex index_;
  bool expiryOrdered_ = true;
  std::uint64_t nextSequence_ = 0;
};

KeyTable& Table() {
  static KeyTable table;
  return table;
}

class TestLetterSource {
 public:
  bool Installed() const { return installed_.load(std::memory_order_acquire); }

  void Install(std::function<int()> draw) {
    std::lock_guard lock(mutex_);
    draw_ = std::move(draw);
    installed_.store(static_cast<bool>(draw_), std::memory_order_release);
  }

  // Draws under the lock: a test source need not be thread-safe.
  bool TryFill(std::string& key) {
    std::lock_guard lock(mutex_);
    if (!draw_) return false;
    while (key.size() < kKeyLength) {
      const int index = draw_();
      if (index < 0 || index >= kKeyAlphabetSize) {
        throw std::out_of_range("key letter source gave an index outside 0 to 19");
      }
      key.push_back(static_cast<char>('A' + index));
    }
    return true;
  }

 private:
  std::atomic<bool> installed_{false};
  std::mutex mutex_;
  std::function<int()> draw_;
};

TestLetterSource& TestSource() {
  static TestLetterSource source;
  return source;
}

void FillFromOperatingSystem(std::span<unsigned char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = getrandom(buffer.data() + filled, buffer.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception(std::string("Could not draw random bytes: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace

bool AppendKeyLetters(std::span<const unsigned char> randomBytes, std::string& key,
                      std::size_t length) {
  // 240 is the largest multiple of 20 not above 256: accepting only bytes below it gives
  // every letter the same 12 bytes.
  constexpr unsigned kAccepted = 256 - 256 % kKeyAlphabetSize;
  for (unsigned char byte : randomBytes) {
    if (key.size() >= length) break;
    if (byte >= kAccepted) continue;
    key.push_back(static_cast<char>('A' + byte % kKeyAlphabetSize));
  }
  return key.size() >= length;
}

std::string GenerateKeyText() {
  std::string key;
  key.reserve(kKeyLength);
  if (TestSource().Installed() && TestSource().TryFill(key)) return key;
  // One draw covers a key unless more than 16 of 48 bytes are rejected (rare).
  unsigned char bytes[48];
  do {
    FillFromOperatingSystem(bytes);
  } while (!AppendKeyLetters(bytes, key));
  return key;
}

std::string CreateKey(std::int32_t uid, std::int32_t cid) {
  std::string key = GenerateKeyText();
  Table().Add(key, uid, cid);
  return key;
}

bool CheckKey(std::string_view key, std::int32_t& uid, std::int32_t& cid) {
  return Table().Check(key, uid, cid);
}

std::int32_t KeyCount() { return Table().Count(); }

void SetKeyLetterSourceForTesting(std::function<int()> drawIndex0to19) {
  TestSource().Install(std::move(drawIndex0to19));
}

void ClearKeysForTesting() { Table().Clear(); }

}  // namespace tallyhand
