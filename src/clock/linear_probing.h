// The slot arrays of the session key indexes: open addressing with linear probing, a
// power of two in size, a free slot ending every probe run. Each slot type says whether
// it is free (IsFree) and a value-initialised slot is free; home(slot, mask) gives the
// slot where a slot's probe run starts.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tallyhand::linear_probing {

// Moves every used slot into a fresh array of `capacity` slots. Raises std::bad_alloc,
// leaving the slots unchanged, when the array cannot be had.
template <class Slot, class Home>
void Rehash(std::vector<Slot>& slots, std::size_t capacity, Home home) {
  std::vector<Slot> fresh(capacity);
  const std::size_t mask = capacity - 1;
  for (const Slot& slot : slots) {
    if (slot.IsFree()) continue;
    std::size_t i = home(slot, mask);
    while (!fresh[i].IsFree()) i = (i + 1) & mask;
    fresh[i] = slot;
  }
  slots.swap(fresh);
}

// Frees the slot at `hole`. Every later slot of the run whose home does not lie
// cyclically between the hole and itself moves back, so that no probe run is cut short.
template <class Slot, class Home>
void Free(std::vector<Slot>& slots, std::size_t hole, Home home) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t j = (hole + 1) & mask; !slots[j].IsFree(); j = (j + 1) & mask) {
    const std::size_t start = home(slots[j], mask);
    const bool reachable = hole <= j ? (hole < start && start <= j) : (hole < start || start <= j);
    if (!reachable) {
      slots[hole] = slots[j];
      hole = j;
    }
  }
  slots[hole] = Slot{};
}

// An array that held a burst gives the memory back once it has emptied: below an eighth
// full, it drops to at most half full (never below minCapacity).
template <class Slot, class Home>
void ShrinkIfSparse(std::vector<Slot>& slots, std::size_t used, std::size_t minCapacity, Home home) {
  if (slots.size() <= minCapacity || used * 8 >= slots.size()) return;
  std::size_t capacity = minCapacity;
  while (used * 2 > capacity) capacity *= 2;
  try {
    Rehash(slots, capacity, home);
  } catch (const std::bad_alloc&) {
    // Keeping the larger array is correct too.
  }
}

}  // namespace tallyhand::linear_probing
