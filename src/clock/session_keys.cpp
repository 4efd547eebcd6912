#include "clock/session_keys.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "clock/key_text_index.h"
#include "platform/exception.h"

namespace tallyhand {

namespace {

static_assert(sizeof(Tkey) == 48, "a stored key: its letters inline, no padding");

// The table's entries in issue order, in blocks of a fixed size: finding an entry by
// position reads the short block list (which stays in cache) and then the entry, and
// memory comes and goes a block at a time as keys are issued and expire.
class IssuedEntries {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Tkey& operator[](std::size_t position) { return At(first_ + position); }
  const Tkey& operator[](std::size_t position) const {
    const std::size_t at = first_ + position;
    return (*blocks_[at / kBlockSize])[at % kBlockSize];
  }
  Tkey& front() { return (*this)[0]; }
  Tkey& back() { return (*this)[size_ - 1]; }

  // Raises std::bad_alloc, leaving the entries unchanged, when it cannot grow.
  void push_back(const Tkey& entry) {
    const std::size_t at = first_ + size_;
    if (at == blocks_.size() * kBlockSize) blocks_.push_back(std::make_unique<Block>());
    At(at) = entry;
    ++size_;
  }
  void pop_front() {
    --size_;
    if (size_ == 0) {
      first_ = 0;
    } else if (++first_ == kBlockSize) {
      blocks_.erase(blocks_.begin());
      first_ = 0;
    }
    DropUnusedBlocks();
  }
  void pop_back() { Truncate(size_ - 1); }
  // Keeps the first `count` entries.
  void Truncate(std::size_t count) {
    size_ = count;
    if (size_ == 0) first_ = 0;
    DropUnusedBlocks();
  }
  void Release() {
    std::vector<std::unique_ptr<Block>>().swap(blocks_);
    first_ = 0;
    size_ = 0;
  }

 private:
  static constexpr std::size_t kBlockSize = 1024;  // 48 KiB
  using Block = std::array<Tkey, kBlockSize>;

  Tkey& At(std::size_t at) { return (*blocks_[at / kBlockSize])[at % kBlockSize]; }
  void DropUnusedBlocks() {
    const std::size_t needed = size_ == 0 ? 0 : (first_ + size_ + kBlockSize - 1) / kBlockSize;
    while (blocks_.size() > needed) blocks_.pop_back();
  }

  std::vector<std::unique_ptr<Block>> blocks_;
  std::size_t first_ = 0;  // position of the front entry in the first block
  std::size_t size_ = 0;
};

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
// Entries that walk removes from the middle are emptied in place, so that positions (and
// with them the index) stay valid; they leave storage at either end of the table, or all
// at once when they outnumber the rest.
class KeyTable {
 public:
  // keyText is a GenerateKeyText result: exactly kKeyLength letters.
  void Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) {
    Tkey entry{0.0, KeyText(keyText), uid, cid};
    const std::uint64_t hash = KeyTextIndex::Hash(entry.Key.View());
    std::lock_guard lock(mutex_);
    // Now is read under the lock so that concurrent issues stay in expiry order.
    entry.ExpiryDate = Now() + kKeyLifetime;
    // The last stored entry is never an emptied one.
    const bool outOfOrder = !entries_.empty() && entry.ExpiryDate < entries_.back().ExpiryDate;
    const EntryNumber number = NumberAt(entries_.size());
    index_.Insert(hash, number);
    try {
      entries_.push_back(entry);
    } catch (...) {
      index_.Erase(hash, number);  // out of memory: leave the table as it was
      throw;
    }
    if (outOfOrder) expiryOrdered_ = false;
  }

  bool Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) {
    const bool wellFormed = keyText.size() == kKeyLength;  // no other text was issued
    const std::uint64_t hash = wellFormed ? KeyTextIndex::Hash(keyText) : 0;
    std::lock_guard lock(mutex_);
    if (wellFormed) PrefetchCandidates(hash);
    const TDateTime now = Now();
    const std::size_t match = wellFormed ? FirstLiveMatch(hash, keyText, now) : entries_.size();
    const bool found = match < entries_.size();
    if (found) {
      uid = entries_[match].Uid;
      cid = entries_[match].cid;
    }
    if (expiryOrdered_) {
      DropExpiredPrefix(now);
    } else {
      DropExpiredBefore(match, now);
    }
    return found;
  }

  std::int32_t Count() {
    std::lock_guard lock(mutex_);
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(entries_.size() - emptied_, kMax));
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    index_.Clear();
    entries_.Release();
    emptied_ = 0;
    frontNumber_ = 0;
    expiryOrdered_ = true;
  }

 private:
  using EntryNumber = KeyTextIndex::EntryNumber;

  static bool Emptied(const Tkey& entry) { return entry.Key.empty(); }

  // Entries are numbered in issue order from the front one's number; numbers wrap
  // around, which is harmless while fewer than 2^32 entries are stored.
  EntryNumber NumberAt(std::size_t position) const {
    return static_cast<EntryNumber>(frontNumber_ + position);
  }
  std::size_t PositionOf(EntryNumber number) const {
    return static_cast<EntryNumber>(number - frontNumber_);
  }

  // Starts loading the entries a lookup will compare, so that in a large table their
  // memory arrives while the clock is read.
  void PrefetchCandidates(std::uint64_t hash) const {
    index_.ForEachCandidate(hash, [&](EntryNumber number) {
      const char* entry = reinterpret_cast<const char*>(&entries_[PositionOf(number)]);
      __builtin_prefetch(entry);
      __builtin_prefetch(entry + sizeof(Tkey) - 1);
    });
  }

  // The position of the entry with the text that a front-to-back scan meets first while
  // it is live; the table's size when there is none.
  std::size_t FirstLiveMatch(std::uint64_t hash, std::string_view keyText, TDateTime now) const {
    std::size_t first = entries_.size();
    index_.ForEachCandidate(hash, [&](EntryNumber number) {
      const std::size_t position = PositionOf(number);
      if (position >= first) return;
      const Tkey& entry = entries_[position];
      if (entry.Key == keyText && now < entry.ExpiryDate) first = position;
    });
    return first;
  }

  void Unindex(const Tkey& entry, std::size_t position) {
    index_.Erase(KeyTextIndex::Hash(entry.Key.View()), NumberAt(position));
  }

  void PopFront() {
    if (Emptied(entries_.front())) --emptied_;
    entries_.pop_front();
    ++frontNumber_;
  }

  void DropExpiredPrefix(TDateTime now) {
    while (!entries_.empty() && (Emptied(entries_.front()) || entries_.front().ExpiryDate < now)) {
      if (!Emptied(entries_.front())) Unindex(entries_.front(), 0);
      PopFront();
    }
  }

  // The scan's removals when issue order and expiry order differ: every expired entry
  // before position `limit`.
  void DropExpiredBefore(std::size_t limit, TDateTime now) {
    bool anyDropped = false;
    for (std::size_t position = 0; position < limit && position < entries_.size(); ++position) {
      Tkey& entry = entries_[position];
      if (!Emptied(entry) && entry.ExpiryDate < now) {
        Unindex(entry, position);
        entry.Key = KeyText();
        ++emptied_;
        anyDropped = true;
      }
    }
    if (!anyDropped) return;
    while (!entries_.empty() && Emptied(entries_.front())) PopFront();
    while (!entries_.empty() && Emptied(entries_.back())) {
      entries_.pop_back();
      --emptied_;
    }
    if (emptied_ * 2 > entries_.size()) Compact();
    // Removals may have restored the order.
    expiryOrdered_ = true;
    const Tkey* previous = nullptr;
    for (std::size_t position = 0; position < entries_.size() && expiryOrdered_; ++position) {
      const Tkey& entry = entries_[position];
      if (Emptied(entry)) continue;
      if (previous != nullptr && entry.ExpiryDate < previous->ExpiryDate) expiryOrdered_ = false;
      previous = &entry;
    }
  }

  // Takes the emptied entries out of storage and renumbers the rest.
  void Compact() {
    KeyTextIndex renumbered;
    try {
      renumbered.Reserve(entries_.size() - emptied_);
      std::size_t kept = 0;
      for (std::size_t position = 0; position < entries_.size(); ++position) {
        const Tkey& entry = entries_[position];
        if (!Emptied(entry)) renumbered.Insert(KeyTextIndex::Hash(entry.Key.View()), NumberAt(kept++));
      }
    } catch (const std::bad_alloc&) {
      return;  // the emptied entries may stay: nothing finds them
    }
    std::size_t kept = 0;
    for (std::size_t position = 0; position < entries_.size(); ++position) {
      if (!Emptied(entries_[position])) entries_[kept++] = entries_[position];
    }
    entries_.Truncate(kept);
    emptied_ = 0;
    std::swap(index_, renumbered);
  }

  std::mutex mutex_;
  IssuedEntries entries_;
  std::size_t emptied_ = 0;  // entries taken out from the middle, still stored
  EntryNumber frontNumber_ = 0;
  KeyTextIndex index_;
  bool expiryOrdered_ = true;
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
