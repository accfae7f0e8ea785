// IdMap: 32-bit ids (node ids, row ids) to 32-bit values, in one flat array;
// IdSet: the same for ids alone.
//
// A folder may hold 100,000 subfolders and a store a million messages, and a
// conversion keeps an entry per folder, per table row and per message;
// std::unordered_map spends about 40 bytes and an allocation on each, this 8
// to 16 bytes and none. Open addressing with linear probing, at most 3/4
// full; erasing shifts the entries after it back, so no tombstones pile up.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pst {

class IdMap {
 public:
  // The value no entry may hold (it marks empty slots).
  static constexpr uint32_t kNoValue = UINT32_MAX;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }

  std::optional<uint32_t> Find(uint32_t id) const {
    if (slots_.empty()) return std::nullopt;
    for (size_t i = Home(id);; i = Next(i)) {
      const uint64_t slot = slots_[i];
      if (slot == kEmpty) return std::nullopt;
      if (KeyOf(slot) == id) return static_cast<uint32_t>(slot);
    }
  }
  bool Contains(uint32_t id) const { return Find(id).has_value(); }

  // Adds id -> value; false (and nothing changed) when id is already there.
  bool Insert(uint32_t id, uint32_t value) { return Put(id, value, false); }
  // Adds id -> value, or replaces the value id has.
  void Set(uint32_t id, uint32_t value) { (void)Put(id, value, true); }

  // Removes id; false when it was not there.
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

  // Calls fn(id, value) for each entry, in no particular order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (uint64_t slot : slots_) {
      if (slot != kEmpty) fn(KeyOf(slot), static_cast<uint32_t>(slot));
    }
  }

 private:
  static constexpr uint64_t kEmpty = UINT64_MAX;
  static uint32_t KeyOf(uint64_t slot) { return static_cast<uint32_t>(slot >> 32); }

  size_t Home(uint32_t id) const {
    // Fibonacci hashing: ids that differ in low bits (nids step by 32)
    // spread over the whole table.
    return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t Next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  bool Put(uint32_t id, uint32_t value, bool replace) {
    assert(value != kNoValue);
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    for (size_t i = Home(id);; i = Next(i)) {
      uint64_t& slot = slots_[i];
      if (slot == kEmpty) {
        slot = (uint64_t{id} << 32) | value;
        ++size_;
        return true;
      }
      if (KeyOf(slot) == id) {
        if (replace) slot = (uint64_t{id} << 32) | value;
        return false;
      }
    }
  }

  void Grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    const size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, kEmpty);
    shift_ = 64;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
    size_ = 0;
    for (uint64_t slot : old) {
      if (slot != kEmpty) (void)Put(KeyOf(slot), static_cast<uint32_t>(slot), false);
    }
  }

  std::vector<uint64_t> slots_;  // id << 32 | value; kEmpty when free
  size_t size_ = 0;
  int shift_ = 64;
};

class IdSet {
 public:
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  bool Contains(uint32_t id) const { return map_.Contains(id); }
  // False (and nothing changed) when id is already there.
  bool Insert(uint32_t id) { return map_.Insert(id, 0); }
  template <typename Range>
  void InsertAll(const Range& ids) {
    for (uint32_t id : ids) Insert(id);
  }
  void InsertAll(const IdSet& other) {
    other.ForEach([this](uint32_t id) { Insert(id); });
  }
  bool Erase(uint32_t id) { return map_.Erase(id); }
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    map_.ForEach([&fn](uint32_t id, uint32_t) { fn(id); });
  }

 private:
  IdMap map_;
};

}  // namespace pst
