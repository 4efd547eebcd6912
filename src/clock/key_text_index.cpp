#include "clock/key_text_index.h"

#include <string_view>

namespace tallyhand {

std::uint64_t KeyTextIndex::Hash(const KeyText& text) {
  return std::hash<std::string_view>{}(std::string_view(text.data(), text.size()));
}

void KeyTextIndex::Insert(const KeyText& text, const Holder& holder) {
  if (slots_.empty()) {
    Rehash(kMinCapacity);
  } else if ((used_ + 1) * 2 > slots_.size()) {
    Rehash(slots_.size() * 2);
  }
  const std::uint64_t hash = Hash(text);
  std::size_t i = hash & Mask();
  while (!slots_[i].IsFree()) i = (i + 1) & Mask();
  slots_[i] = Slot{text, holder, hash};
  ++used_;
}

const KeyTextIndex::Holder* KeyTextIndex::FirstLive(const KeyText& text, TDateTime now) const {
  if (used_ == 0) return nullptr;
  const std::uint64_t hash = Hash(text);
  const Holder* first = nullptr;
  // Entries with the same text all lie in the run that starts at their home slot.
  for (std::size_t i = hash & Mask(); !slots_[i].IsFree(); i = (i + 1) & Mask()) {
    const Slot& slot = slots_[i];
    if (slot.hash == hash && slot.text == text && now < slot.holder.expiry &&
        (first == nullptr || slot.holder.sequence < first->sequence)) {
      first = &slot.holder;
    }
  }
  return first;
}

void KeyTextIndex::Erase(const KeyText& text, std::uint64_t sequence) {
  if (used_ == 0) return;
  std::size_t hole = Hash(text) & Mask();
  while (!slots_[hole].IsFree() && slots_[hole].holder.sequence != sequence) {
    hole = (hole + 1) & Mask();
  }
  if (slots_[hole].IsFree()) return;
  // Close the gap: move back every later entry of the run whose home slot does not lie
  // cyclically between the hole and itself, so that no probe run is cut short.
  for (std::size_t j = (hole + 1) & Mask(); !slots_[j].IsFree(); j = (j + 1) & Mask()) {
    const std::size_t home = slots_[j].hash & Mask();
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
    std::size_t i = slot.hash & mask;
    while (!fresh[i].IsFree()) i = (i + 1) & mask;
    fresh[i] = slot;
  }
  slots_.swap(fresh);
}

// A table that held a burst of keys gives the memory back once they have gone.
void KeyTextIndex::ShrinkIfSparse() {
  if (slots_.size() <= kMinCapacity || used_ * 8 > slots_.size()) return;
  std::size_t capacity = kMinCapacity;
  while (used_ * 4 > capacity) capacity *= 2;
  try {
    Rehash(capacity);
  } catch (const std::bad_alloc&) {
    // Keeping the larger table is correct too.
  }
}

}  // namespace tallyhand
