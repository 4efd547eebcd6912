#include "clock/key_text_index.h"

#include <functional>
#include <stdexcept>

#include "clock/linear_probing.h"

namespace tallyhand {

std::uint64_t KeyTextIndex::Hash(std::string_view text) { return std::hash<std::string_view>{}(text); }

// The smallest capacity that holds count entries at most three quarters full.
std::size_t KeyTextIndex::CapacityFor(std::size_t count) {
  std::size_t capacity = kMinCapacity;
  while (count * 4 > capacity * 3) {
    if (capacity == kMaxCapacity) throw std::length_error("Session key index is full");
    capacity *= 2;
  }
  return capacity;
}

void KeyTextIndex::Reserve(std::size_t count) {
  const std::size_t capacity = CapacityFor(count);
  if (capacity > slots_.size()) linear_probing::Rehash(slots_, capacity, HomeOf);
}

void KeyTextIndex::Insert(std::uint64_t hash, EntryNumber number) {
  Reserve(used_ + 1);
  const std::uint32_t tag = Tag(hash);
  std::size_t i = tag & Mask();
  while (!slots_[i].IsFree()) i = (i + 1) & Mask();
  slots_[i] = Slot{tag, number};
  ++used_;
}

void KeyTextIndex::Erase(std::uint64_t hash, EntryNumber number) {
  if (used_ == 0) return;
  const std::uint32_t tag = Tag(hash);
  std::size_t hole = tag & Mask();
  while (!slots_[hole].IsFree() && !(slots_[hole].tag == tag && slots_[hole].number == number)) {
    hole = (hole + 1) & Mask();
  }
  if (slots_[hole].IsFree()) return;
  linear_probing::Free(slots_, hole, HomeOf);
  --used_;
  linear_probing::ShrinkIfSparse(slots_, used_, kMinCapacity, HomeOf);
}

void KeyTextIndex::Clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  used_ = 0;
}

}  // namespace tallyhand
