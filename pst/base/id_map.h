// IdMap: 32-bit ids (node ids, row ids) to 32-bit values, in one flat array.
//
// A folder may hold 100,000 subfolders and a store a million messages, and a
// conversion keeps an entry per folder, per table row and per message;
// std::unordered_map spends about 40 bytes and an allocation on each, this
// 8 to 16 bytes and none. Open addressing with linear probing, at most 3/4
// full; erasing shifts the entries after it back, so no tombstones pile up.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace pst {

namespace internal {

// The probing table under the map: a slot is a Slot whose id KeyOf gives;
// the all-ones Slot marks an empty one and is never stored.
template <typename Slot, uint32_t (*KeyOf)(Slot)>
class IdTable {
 public:
  static constexpr Slot kEmpty = std::numeric_limits<Slot>::max();

  size_t size() const { return size_; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }

  const Slot* Find(uint32_t id) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = Home(id);; i = Next(i)) {
      if (slots_[i] == kEmpty) return nullptr;
      if (KeyOf(slots_[i]) == id) return &slots_[i];
    }
  }

  // Stores `slot`; when its id is there already, false, and the slot there
  // is replaced only if `replace`.
  bool Put(Slot slot, bool replace) {
    assert(slot != kEmpty);
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    for (size_t i = Home(KeyOf(slot));; i = Next(i)) {
      if (slots_[i] == kEmpty) {
        slots_[i] = slot;
        ++size_;
        return true;
      }
      if (KeyOf(slots_[i]) == KeyOf(slot)) {
        if (replace) slots_[i] = slot;
        return false;
      }
    }
  }

  bool Erase(uint32_t id) {
    if (slots_.empty()) return false;
    size_t hole = Home(id);
    for (;; hole = Next(hole)) {
      if (slots_[hole] == kEmpty) return false;
      if (KeyOf(slots_[hole]) == id) break;
    }
    // Moves back each later entry of the run that may sit in the hole.
    for (size_t i = Next(hole); slots_[i] != kEmpty; i = Next(i)) {
      const size_t home = Home(KeyOf(slots_[i]));
      const bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
      if (movable) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole] = kEmpty;
    --size_;
    return true;
  }

  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (Slot slot : slots_) {
      if (slot != kEmpty) fn(slot);
    }
  }

 private:
  size_t Home(uint32_t id) const {
    // Fibonacci hashing: ids that differ in low bits (nids step by 32)
    // spread over the whole table.
    return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t Next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    const size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, kEmpty);
    shift_ = 64;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
    size_ = 0;
    for (Slot slot : old) {
      if (slot != kEmpty) (void)Put(slot, false);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  int shift_ = 64;
};

inline uint32_t HighHalf(uint64_t slot) { return static_cast<uint32_t>(slot >> 32); }

}  // namespace internal

class IdMap {
 public:
  // The value no entry may hold (it marks empty slots).
  static constexpr uint32_t kNoValue = UINT32_MAX;

  size_t size() const { return table_.size(); }
  bool empty() const { return size() == 0; }
  void clear() { table_.clear(); }

  std::optional<uint32_t> Find(uint32_t id) const {
    const uint64_t* slot = table_.Find(id);
    if (slot == nullptr) return std::nullopt;
    return static_cast<uint32_t>(*slot);
  }
  bool Contains(uint32_t id) const { return table_.Find(id) != nullptr; }

  // Adds id -> value; false (and nothing changed) when id is already there.
  bool Insert(uint32_t id, uint32_t value) { return table_.Put(SlotOf(id, value), false); }
  // Adds id -> value, or replaces the value id has.
  void Set(uint32_t id, uint32_t value) { (void)table_.Put(SlotOf(id, value), true); }

  // Removes id; false when it was not there.
  bool Erase(uint32_t id) { return table_.Erase(id); }

  // Calls fn(id, value) for each entry, in no particular order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    table_.ForEach([&fn](uint64_t slot) { fn(internal::HighHalf(slot), static_cast<uint32_t>(slot)); });
  }

 private:
  static uint64_t SlotOf(uint32_t id, uint32_t value) {
    assert(value != kNoValue);
    return (uint64_t{id} << 32) | value;
  }

  internal::IdTable<uint64_t, internal::HighHalf> table_;
};

}  // namespace pst
