#include "clock/live_keys_by_user.h"

#include <new>

namespace tallyhand {

std::size_t LiveKeysByUser::Home(std::int32_t uid, std::int32_t cid, std::size_t mask) {
  // Ids are small consecutive numbers; a multiplicative mix spreads them over the slots.
  std::uint64_t x = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(uid)) << 32) |
                    static_cast<std::uint32_t>(cid);
  x ^= x >> 31;
  x *= 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return static_cast<std::size_t>(x) & mask;
}

std::size_t LiveKeysByUser::CapacityFor(std::size_t count) {
  std::size_t capacity = kMinCapacity;
  while (count * 4 > capacity * 3) capacity *= 2;
  return capacity;
}

std::size_t LiveKeysByUser::Locate(std::int32_t uid, std::int32_t cid) const {
  std::size_t i = Home(uid, cid, Mask());
  while (slots_[i].count != 0 && (slots_[i].uid != uid || slots_[i].cid != cid)) i = (i + 1) & Mask();
  return i;
}

LiveKeysByUser::Chain* LiveKeysByUser::Find(std::int32_t uid, std::int32_t cid) {
  if (used_ == 0) return nullptr;
  Chain& slot = slots_[Locate(uid, cid)];
  return slot.count != 0 ? &slot : nullptr;
}

void LiveKeysByUser::Reserve(std::size_t count) {
  const std::size_t capacity = CapacityFor(count);
  if (capacity > slots_.size()) Rehash(capacity);
}

LiveKeysByUser::Chain& LiveKeysByUser::Add(std::int32_t uid, std::int32_t cid) {
  if (Chain* found = Find(uid, cid)) return *found;
  Reserve(used_ + 1);
  Chain& slot = slots_[Locate(uid, cid)];
  slot = Chain{uid, cid, 0, 0};
  ++used_;
  return slot;
}

void LiveKeysByUser::Erase(std::int32_t uid, std::int32_t cid) {
  if (used_ == 0) return;
  std::size_t hole = Locate(uid, cid);
  if (slots_[hole].count == 0) return;
  // Close the gap as in the key text index: move back every later slot of the run whose
  // home does not lie cyclically between the hole and itself.
  for (std::size_t j = (hole + 1) & Mask(); slots_[j].count != 0; j = (j + 1) & Mask()) {
    const std::size_t home = Home(slots_[j].uid, slots_[j].cid, Mask());
    const bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!reachable) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].count = 0;
  --used_;
  ShrinkIfSparse();
}

void LiveKeysByUser::Clear() {
  std::vector<Chain>().swap(slots_);
  used_ = 0;
}

void LiveKeysByUser::Rehash(std::size_t capacity) {
  std::vector<Chain> fresh(capacity, Chain{0, 0, 0, 0});  // may raise; nothing changed yet
  const std::size_t mask = capacity - 1;
  for (const Chain& slot : slots_) {
    if (slot.count == 0) continue;
    std::size_t i = Home(slot.uid, slot.cid, mask);
    while (fresh[i].count != 0) i = (i + 1) & mask;
    fresh[i] = slot;
  }
  slots_.swap(fresh);
}

void LiveKeysByUser::ShrinkIfSparse() {
  if (slots_.size() <= kMinCapacity || used_ * 8 >= slots_.size()) return;
  std::size_t capacity = kMinCapacity;
  while (used_ * 2 > capacity) capacity *= 2;
  try {
    Rehash(capacity);
  } catch (const std::bad_alloc&) {
    // Keeping the larger index is correct too.
  }
}

}  // namespace tallyhand
