// Builds heap pages and the LTP structures on them from items, for tests.
#pragma once

#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/coding.h"
#include "pst/ltp/heap.h"

namespace pst::ltp::testing {

inline void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class HeapBuilder {
 public:
  explicit HeapBuilder(uint8_t client_signature, size_t page_capacity = 8176)
      : client_(client_signature), capacity_(page_capacity) {
    pages_.emplace_back();
  }

  // Adds an item to the last page, or to a new page when it does not fit.
  Hid Add(const Bytes& item) {
    if (Used(pages_.size() - 1) + item.size() + 2 > capacity_) NewPage();
    pages_.back().push_back(item);
    return MakeHid(static_cast<uint32_t>(pages_.size() - 1),
                   static_cast<uint32_t>(pages_.back().size()));
  }
  void NewPage() { pages_.emplace_back(); }
  void set_user_root(Hid hid) { user_root_ = hid; }

  // The encoded pages, one data block each.
  std::vector<Bytes> Build() const {
    std::vector<Bytes> blocks;
    for (size_t p = 0; p < pages_.size(); ++p) {
      Bytes page;
      const size_t header = HeaderSize(p);
      page.resize(header, 0);
      std::vector<uint16_t> starts{static_cast<uint16_t>(header)};
      for (const Bytes& item : pages_[p]) {
        page.insert(page.end(), item.begin(), item.end());
        starts.push_back(static_cast<uint16_t>(page.size()));
      }
      if (page.size() % 2) page.push_back(0);
      EncodeFixed16(page.data(), static_cast<uint16_t>(page.size()));
      if (p == 0) {
        page[2] = 0xEC;
        page[3] = client_;
        EncodeFixed32(page.data() + 4, user_root_);
      }
      Put16(page, static_cast<uint16_t>(pages_[p].size()));
      Put16(page, 0);
      for (uint16_t s : starts) Put16(page, s);
      blocks.push_back(std::move(page));
    }
    return blocks;
  }

 private:
  static size_t HeaderSize(size_t page) {
    return page == 0 ? 12 : (page % 128 == 8 ? 66 : 2);
  }
  size_t Used(size_t p) const {
    size_t used = HeaderSize(p) + 6 + 2 * pages_[p].size();
    for (const Bytes& item : pages_[p]) used += item.size();
    return used;
  }

  uint8_t client_;
  size_t capacity_;
  Hid user_root_ = 0;
  std::vector<std::vector<Bytes>> pages_;
};

inline Bytes BthHeader(uint8_t key_size, uint8_t entry_size, uint8_t levels, Hid root) {
  Bytes b{0xB5, key_size, entry_size, levels};
  Put32(b, root);
  return b;
}

}  // namespace pst::ltp::testing
