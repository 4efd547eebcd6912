// The session key table's index from key text to the entries issued with that text. The
// table keeps the entries themselves; a slot holds only an entry's number and its text's
// hash, 8 bytes, so that the index costs a few bytes per key and a lookup that finds
// nothing rarely reads an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tallyhand {

class KeyTextIndex {
 public:
  // Names an entry of the table: its issue number, counted modulo 2^32.
  using EntryNumber = std::uint32_t;

  static std::uint64_t Hash(std::string_view text);

  // Raises std::bad_alloc (std::length_error past 2^31 slots), leaving the index
  // unchanged, when it cannot grow.
  void Insert(std::uint64_t hash, EntryNumber number);
  // Calls visit(number) for every entry whose text may have this hash (false matches are
  // rare); the caller compares the texts. The index must not change meanwhile.
  template <class Visit>
  void ForEachCandidate(std::uint64_t hash, Visit&& visit) const;
  // Removes the entry; the hash is that of its text.
  void Erase(std::uint64_t hash, EntryNumber number);
  void Clear();
  std::size_t Size() const { return used_; }
  // Makes room for `count` entries at once; may raise like Insert.
  void Reserve(std::size_t count);

 private:
  // A used slot has the top bit of its tag set; the other 31 bits are the hash's lowest,
  // which also give the home slot.
  static constexpr std::uint32_t kUsedBit = 0x8000'0000u;
  static constexpr std::size_t kMinCapacity = 64;
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 31;

  struct Slot {
    std::uint32_t tag = 0;
    EntryNumber number = 0;
    bool IsFree() const { return tag == 0; }
  };

  static std::uint32_t Tag(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash) | kUsedBit;
  }
  static std::size_t CapacityFor(std::size_t count);
  std::size_t Mask() const { return slots_.size() - 1; }
  static std::size_t HomeOf(const Slot& slot, std::size_t mask) { return slot.tag & mask; }

  std::vector<Slot> slots_;  // a power of two in size, at most three quarters used
  std::size_t used_ = 0;
};

template <class Visit>
void KeyTextIndex::ForEachCandidate(std::uint64_t hash, Visit&& visit) const {
  if (used_ == 0) return;
  const std::uint32_t tag = Tag(hash);
  // Entries with the same text all lie in the run that starts at their home slot.
  for (std::size_t i = tag & Mask(); !slots_[i].IsFree(); i = (i + 1) & Mask()) {
    if (slots_[i].tag == tag) visit(slots_[i].number);
  }
}

}  // namespace tallyhand
