// The session key table's index from key text to what a lookup hands out: open
// addressing with every entry in one cache line, so that a lookup in a table of a
// million keys costs about one memory access.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "clock/session_keys.h"

namespace tallyhand {

class KeyTextIndex {
 public:
  using KeyText = std::array<char, kKeyLength>;
  struct Holder {
    TDateTime expiry;
    std::int32_t uid;
    std::int32_t cid;
    std::uint64_t sequence;  // issue order; unique per entry
  };

  // Raises std::bad_alloc, leaving the index unchanged, when it cannot grow.
  void Insert(const KeyText& text, const Holder& holder);
  // Of the entries with this text that are live at now (now before their expiry), the
  // one issued first; nullptr when none is. Valid until the next change.
  const Holder* FirstLive(const KeyText& text, TDateTime now) const;
  void Erase(const KeyText& text, std::uint64_t sequence);
  void Clear();
  std::size_t Size() const { return used_; }

 private:
  static constexpr std::uint64_t kFree = UINT64_MAX;  // a sequence no entry has
  static constexpr std::size_t kMinCapacity = 64;

  struct alignas(64) Slot {
    KeyText text{};
    Holder holder{0.0, 0, 0, kFree};
    std::uint64_t hash = 0;
    bool IsFree() const { return holder.sequence == kFree; }
  };

  static std::uint64_t Hash(const KeyText& text);
  std::size_t Mask() const { return slots_.size() - 1; }
  void Rehash(std::size_t capacity);
  void ShrinkIfSparse();

  std::vector<Slot> slots_;  // a power of two in size, at most half used
  std::size_t used_ = 0;
};

}  // namespace tallyhand
