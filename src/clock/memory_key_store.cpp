#include "clock/memory_key_store.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "clock/key_text_index.h"
#include "clock/live_keys_by_user.h"
#include "clock/session_keys.h"

namespace tallyhand {

namespace {

static_assert(sizeof(Tkey) == 48, "a stored key: its letters inline, no padding");

using EntryNumber = KeyTextIndex::EntryNumber;

// The table's entries in issue order, in blocks of a fixed size: finding an entry by
// position reads the short block list (which stays in cache) and then the entry, and
// memory comes and goes a block at a time as keys are issued and expire. Beside each
// entry lies the number of its user's next newer entry, which links a user's keys.
class IssuedEntries {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Tkey& operator[](std::size_t position) { return At(first_ + position).keys[(first_ + position) % kBlockSize]; }
  const Tkey& operator[](std::size_t position) const {
    const std::size_t at = first_ + position;
    return blocks_[at / kBlockSize]->keys[at % kBlockSize];
  }
  // The number of the same user's next newer entry (the oldest, from the newest).
  EntryNumber& NextOf(std::size_t position) {
    return At(first_ + position).next[(first_ + position) % kBlockSize];
  }
  Tkey& front() { return (*this)[0]; }
  Tkey& back() { return (*this)[size_ - 1]; }

  // Raises std::bad_alloc, leaving the entries unchanged, when it cannot grow.
  void push_back(const Tkey& entry) {
    const std::size_t at = first_ + size_;
    if (at == blocks_.size() * kBlockSize) blocks_.push_back(std::make_unique<Block>());
    At(at).keys[at % kBlockSize] = entry;
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
  static constexpr std::size_t kBlockSize = 1024;  // 52 KiB
  struct Block {
    std::array<Tkey, kBlockSize> keys;
    std::array<EntryNumber, kBlockSize> next;
  };

  Block& At(std::size_t at) { return *blocks_[at / kBlockSize]; }
  void DropUnusedBlocks() {
    const std::size_t needed = size_ == 0 ? 0 : (first_ + size_ + kBlockSize - 1) / kBlockSize;
    while (blocks_.size() > needed) blocks_.pop_back();
  }

  std::vector<std::unique_ptr<Block>> blocks_;
  std::size_t first_ = 0;  // position of the front entry in the first block
  std::size_t size_ = 0;
};

}  // namespace

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
//
// Each user's entries are linked in a ring in issue order. Past the user's limit the
// user's oldest key is emptied in place like the walk's removals, so that one account
// signing in in a loop holds a bounded number of entries.
class MemoryKeyStore::Table {
 public:
  explicit Table(std::uint32_t maxKeysPerUser) : maxKeysPerUser_(std::max(maxKeysPerUser, 1u)) {}

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
    // Out of memory at any step: the table is left as it was.
    index_.Insert(hash, number);
    try {
      entries_.push_back(entry);
    } catch (...) {
      index_.Erase(hash, number);
      throw;
    }
    LiveKeysByUser::Chain* chain = nullptr;
    try {
      chain = &users_.Add(uid, cid);
    } catch (...) {
      entries_.pop_back();
      index_.Erase(hash, number);
      throw;
    }
    if (outOfOrder) expiryOrdered_ = false;
    LinkNewest(*chain, number);
    if (chain->count > maxKeysPerUser_) GiveWayOldest(*chain);
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
    users_.Clear();
    entries_.Release();
    emptied_ = 0;
    frontNumber_ = 0;
    expiryOrdered_ = true;
  }

 private:
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

  // Links the newest entry into its user's ring, between the newest and the oldest.
  void LinkNewest(LiveKeysByUser::Chain& chain, EntryNumber number) {
    const std::size_t position = PositionOf(number);
    if (chain.count == 0) {
      chain.count = 1;
      entries_.NextOf(position) = number;
    } else {
      EntryNumber& newestNext = entries_.NextOf(PositionOf(chain.newest));
      entries_.NextOf(position) = newestNext;
      newestNext = number;
      ++chain.count;
    }
    chain.newest = number;
  }

  // Takes the entry out of its user's ring. The front entry of the table is always the
  // oldest of its user, one step from the newest; an entry further in (removed after a
  // step of the clock) is looked for along the ring, at most the user's limit of steps.
  void Unchain(const Tkey& entry, std::size_t position) {
    LiveKeysByUser::Chain* chain = users_.Find(entry.Uid, entry.cid);
    if (chain == nullptr) return;
    if (chain->count == 1) {
      users_.Erase(entry.Uid, entry.cid);
      return;
    }
    --chain->count;
    const EntryNumber number = NumberAt(position);
    EntryNumber previous = chain->newest;
    while (entries_.NextOf(PositionOf(previous)) != number) previous = entries_.NextOf(PositionOf(previous));
    entries_.NextOf(PositionOf(previous)) = entries_.NextOf(position);
    if (chain->newest == number) chain->newest = previous;
  }

  // Empties an entry in place; the emptied entries leave storage at the ends of the
  // table, or all at once when they outnumber the rest.
  void Empty(Tkey& entry, std::size_t position) {
    Unindex(entry, position);
    Unchain(entry, position);
    entry.Key = KeyText();
    ++emptied_;
  }

  void DropEmptiedEnds() {
    while (!entries_.empty() && Emptied(entries_.front())) PopFront();
    while (!entries_.empty() && Emptied(entries_.back())) {
      entries_.pop_back();
      --emptied_;
    }
    if (emptied_ * 2 > entries_.size()) Compact();
  }

  // The user is over the limit by one: its oldest entry goes.
  void GiveWayOldest(const LiveKeysByUser::Chain& chain) {
    const std::size_t position = PositionOf(entries_.NextOf(PositionOf(chain.newest)));
    Empty(entries_[position], position);
    DropEmptiedEnds();
  }

  void PopFront() {
    if (Emptied(entries_.front())) {
      --emptied_;
    } else {
      Unindex(entries_.front(), 0);
      Unchain(entries_.front(), 0);
    }
    entries_.pop_front();
    ++frontNumber_;
  }

  void DropExpiredPrefix(TDateTime now) {
    while (!entries_.empty() && (Emptied(entries_.front()) || entries_.front().ExpiryDate < now)) {
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
        Empty(entry, position);
        anyDropped = true;
      }
    }
    if (!anyDropped) return;
    DropEmptiedEnds();
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

  // Takes the emptied entries out of storage and renumbers the rest, chains included.
  void Compact() {
    KeyTextIndex renumbered;
    LiveKeysByUser rechained;
    try {
      renumbered.Reserve(entries_.size() - emptied_);
      rechained.Reserve(users_.Size());
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
    // Room for every user was reserved, so adding cannot fail.
    for (std::size_t position = 0; position < kept; ++position) {
      const Tkey& entry = entries_[position];
      LinkNewest(rechained.Add(entry.Uid, entry.cid), NumberAt(position));
    }
    std::swap(users_, rechained);
  }

  const std::uint32_t maxKeysPerUser_;
  std::mutex mutex_;
  IssuedEntries entries_;
  std::size_t emptied_ = 0;  // entries taken out from the middle, still stored
  EntryNumber frontNumber_ = 0;
  KeyTextIndex index_;
  LiveKeysByUser users_;
  bool expiryOrdered_ = true;
};

MemoryKeyStore::MemoryKeyStore(std::uint32_t maxKeysPerUser)
    : table_(std::make_unique<Table>(maxKeysPerUser)) {}

MemoryKeyStore::~MemoryKeyStore() = default;

bool MemoryKeyStore::Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) {
  // Duplicate texts are allowed: a lookup finds the first live one issued.
  table_->Add(keyText, uid, cid);
  return true;
}

bool MemoryKeyStore::Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) {
  return table_->Check(keyText, uid, cid);
}

std::int32_t MemoryKeyStore::Count() { return table_->Count(); }

void MemoryKeyStore::Clear() { table_->Clear(); }

}  // namespace tallyhand
