// IdSet: a set of 32-bit ids (node ids) in about a bit an id where they are
// dense, as a store's message ids are: a conversion keeps every message id
// it listed, and a store may hold millions.
//
// A node id is its type in the low 5 bits and its index above them, and a
// store gives indexes in sequence, so ids are kept by their key: the id
// rotated right by 5 bits (type in the top bits, index below), which makes
// one type's ids consecutive keys. Keys are grouped by their high 16 bits;
// a group is a sorted array of the low halves, or, once it would hold more
// than 4096 of them, a bitmap of all 65536 (8 KiB, no more than that
// array). Groups are found through a table indexed by the high half, as
// long as the highest group seen.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pst {

class IdSet {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool Contains(uint32_t id) const;
  // False (and nothing changed) when id is already there.
  bool Insert(uint32_t id);
  // False when id was not there.
  bool Erase(uint32_t id);

  template <typename Range>
  void InsertAll(const Range& ids) {
    for (uint32_t id : ids) Insert(id);
  }
  void InsertAll(const IdSet& other) {
    other.ForEach([this](uint32_t id) { Insert(id); });
  }
  // Takes in `other`'s ids, leaving it empty; the bigger set's groups are kept.
  void Absorb(IdSet&& other);

  // Calls fn(id) for each id, by node type, then ascending.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (size_t high = 0; high < group_of_.size(); ++high) {
      if (group_of_[high] == 0) continue;
      const Group& g = groups_[group_of_[high] - 1];
      const uint32_t base = static_cast<uint32_t>(high) << 16;
      if (!g.bitmap) {
        for (uint16_t low : g.words) fn(IdOf(base | low));
        continue;
      }
      for (size_t w = 0; w < g.words.size(); ++w) {
        for (uint32_t bits = g.words[w]; bits != 0; bits &= bits - 1) {
          fn(IdOf(base | static_cast<uint32_t>(w * 16 + std::countr_zero(bits))));
        }
      }
    }
  }

 private:
  struct Group {
    bool bitmap = false;
    std::vector<uint16_t> words;  // sorted low halves, or 4096 words of bits
  };
  static constexpr size_t kMaxArray = 4096;
  static constexpr int kTypeBits = 5;

  static uint32_t KeyOf(uint32_t id) { return std::rotr(id, kTypeBits); }
  static uint32_t IdOf(uint32_t key) { return std::rotl(key, kTypeBits); }

  const Group* GroupOf(uint32_t key) const;
  Group* GroupOf(uint32_t key);

  std::vector<Group> groups_;
  std::vector<uint32_t> group_of_;  // by high half: 1 + index into groups_, 0 for none
  size_t size_ = 0;
};

}  // namespace pst
