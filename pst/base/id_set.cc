#include "pst/base/id_set.h"

#include <algorithm>
#include <utility>

namespace pst {
namespace {

uint16_t High(uint32_t key) { return static_cast<uint16_t>(key >> 16); }
uint16_t Low(uint32_t key) { return static_cast<uint16_t>(key); }
uint16_t Bit(uint16_t low) { return static_cast<uint16_t>(1u << (low % 16)); }

}  // namespace

const IdSet::Group* IdSet::GroupOf(uint32_t key) const {
  const uint16_t high = High(key);
  if (high >= group_of_.size() || group_of_[high] == 0) return nullptr;
  return &groups_[group_of_[high] - 1];
}

IdSet::Group* IdSet::GroupOf(uint32_t key) { return const_cast<Group*>(std::as_const(*this).GroupOf(key)); }

bool IdSet::Contains(uint32_t id) const {
  const uint32_t key = KeyOf(id);
  const Group* g = GroupOf(key);
  if (g == nullptr) return false;
  const uint16_t low = Low(key);
  if (g->bitmap) return (g->words[low / 16] & Bit(low)) != 0;
  return std::binary_search(g->words.begin(), g->words.end(), low);
}

bool IdSet::Insert(uint32_t id) {
  const uint32_t key = KeyOf(id);
  const uint16_t high = High(key);
  const uint16_t low = Low(key);
  if (high >= group_of_.size()) group_of_.resize(size_t{high} + 1, 0);
  if (group_of_[high] == 0) {
    groups_.emplace_back();
    group_of_[high] = static_cast<uint32_t>(groups_.size());
  }
  Group& g = groups_[group_of_[high] - 1];
  if (g.bitmap) {
    uint16_t& word = g.words[low / 16];
    if ((word & Bit(low)) != 0) return false;
    word |= Bit(low);
    ++size_;
    return true;
  }
  // Ids mostly come in ascending order: appended without a search.
  auto at = !g.words.empty() && g.words.back() < low ? g.words.end()
                                                      : std::lower_bound(g.words.begin(), g.words.end(), low);
  if (at != g.words.end() && *at == low) return false;
  ++size_;
  if (g.words.size() < kMaxArray) {
    g.words.insert(at, low);
    return true;
  }
  std::vector<uint16_t> bits(65536 / 16, 0);
  for (uint16_t l : g.words) bits[l / 16] |= Bit(l);
  bits[low / 16] |= Bit(low);
  g.words = std::move(bits);
  g.bitmap = true;
  return true;
}

bool IdSet::Erase(uint32_t id) {
  const uint32_t key = KeyOf(id);
  Group* g = GroupOf(key);
  if (g == nullptr) return false;
  const uint16_t low = Low(key);
  if (g->bitmap) {
    uint16_t& word = g->words[low / 16];
    if ((word & Bit(low)) == 0) return false;
    word &= static_cast<uint16_t>(~Bit(low));
  } else {
    auto at = std::lower_bound(g->words.begin(), g->words.end(), low);
    if (at == g->words.end() || *at != low) return false;
    g->words.erase(at);
  }
  --size_;
  return true;
}

void IdSet::Absorb(IdSet&& other) {
  if (other.size() > size()) std::swap(*this, other);
  InsertAll(other);
  other = IdSet();
}

}  // namespace pst
