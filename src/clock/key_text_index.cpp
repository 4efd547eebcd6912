#include "clock/key_text_index.h"

#include <functional>
#include <stdexcept>

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
  if (capacity > slots_.size()) Rehash(capacity);
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
  // Close the gap: move back every later entry of the run whose home slot does not lie
  // cyclically between the hole and itself, so that no probe run is cut short.
  for (std::size_t j = (hole + 1) & Mask(); !slots_[j].IsFree(); j = (j + 1) & Mask()) {
    const std::size_t home = slots_[j].tag & Mask();
    const bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!reachable) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = Slot{};
  --used_;
  ShrinkIfSparse();
}

void KeyTextIndex::Clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  used_ = 0;
}

void KeyTextIndex::Rehash(std::size_t capacity) {
  std::vector<Slot> fresh(capacity);  // may raise; nothing has changed yet
  const std::size_t mask = capacity - 1;
  for (const Slot& slot : slots_) {
    if (slot.IsFree()) continue;
    std::size_t i = slot.tag & mask;
    while (!fresh[i].IsFree()) i = (i + 1) & mask;
    fresh[i] = slot;
  }
  slots_.swap(fresh);
}

// A table that held a burst of keys gives the memory back once they have gone: below an
// eighth full, the index drops to at most half full.
void KeyTextIndex::ShrinkIfSparse() {
  if (slots_.size() <= kMinCapacity || used_ * 8 >= slots_.size()) return;
  std::size_t capacity = kMinCapacity;
  while (used_ * 2 > capacity) capacity *= 2;
  try {
    Rehash(capacity);
  } catch (const std::bad_alloc&) {
    // Keeping the larger table is correct too.
  }
}

}  // namespace tallyhand
