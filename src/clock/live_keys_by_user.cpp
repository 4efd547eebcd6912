#include "clock/live_keys_by_user.h"

#include "clock/linear_probing.h"

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
  while (!slots_[i].IsFree() && (slots_[i].uid != uid || slots_[i].cid != cid)) i = (i + 1) & Mask();
  return i;
}

LiveKeysByUser::Chain* LiveKeysByUser::Find(std::int32_t uid, std::int32_t cid) {
  if (used_ == 0) return nullptr;
  Chain& slot = slots_[Locate(uid, cid)];
  return slot.IsFree() ? nullptr : &slot;
}

void LiveKeysByUser::Reserve(std::size_t count) {
  const std::size_t capacity = CapacityFor(count);
  if (capacity > slots_.size()) linear_probing::Rehash(slots_, capacity, HomeOf);
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
  const std::size_t at = Locate(uid, cid);
  if (slots_[at].IsFree()) return;
  linear_probing::Free(slots_, at, HomeOf);
  --used_;
  linear_probing::ShrinkIfSparse(slots_, used_, kMinCapacity, HomeOf);
}

void LiveKeysByUser::Clear() {
  std::vector<Chain>().swap(slots_);
  used_ = 0;
}

}  // namespace tallyhand
