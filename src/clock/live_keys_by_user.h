// For each user and company with live keys in the memory store: how many, and the newest
// of its entries. The entries link the rest in a ring in issue order (each to the next
// newer one, the newest back to the oldest), so that one account signing in in a loop
// can be held to a limit without touching anyone else's keys. Open addressing with
// 16-byte slots, so that it adds little to a table in which most users hold one key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tallyhand {

class LiveKeysByUser {
 public:
  using EntryNumber = std::uint32_t;

  struct Chain {
    std::int32_t uid;
    std::int32_t cid;
    std::uint32_t count;  // 0 marks a free slot
    EntryNumber newest;
    bool IsFree() const { return count == 0; }
  };

  // The user's chain, or nullptr. The pointer holds until the next Add or Erase.
  Chain* Find(std::int32_t uid, std::int32_t cid);
  // The user's chain, added with count 0 when absent (the caller fills it). Raises
  // std::bad_alloc, leaving the index unchanged, when it cannot grow.
  Chain& Add(std::int32_t uid, std::int32_t cid);
  void Erase(std::int32_t uid, std::int32_t cid);
  // Makes room for `count` users at once; may raise like Add.
  void Reserve(std::size_t count);
  void Clear();
  std::size_t Size() const { return used_; }

 private:
  static constexpr std::size_t kMinCapacity = 16;

  static std::size_t Home(std::int32_t uid, std::int32_t cid, std::size_t mask);
  static std::size_t HomeOf(const Chain& slot, std::size_t mask) { return Home(slot.uid, slot.cid, mask); }
  static std::size_t CapacityFor(std::size_t count);
  std::size_t Mask() const { return slots_.size() - 1; }
  // The slot holding the user, or the free slot that ends its probe run.
  std::size_t Locate(std::int32_t uid, std::int32_t cid) const;

  std::vector<Chain> slots_;  // a power of two in size, at most three quarters used
  std::size_t used_ = 0;
};

}  // namespace tallyhand
