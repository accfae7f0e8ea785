#include "pst/ndb/btree_writer.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "pst/base/checked_math.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ndb/page.h"

namespace pst::ndb {

struct BTreeWriter::Node {
  uint8_t level = 0;
  Bytes entries;              // Count() entries of EntrySize() bytes, in key order
  std::vector<NodePtr> kids;  // level > 0: materialized children; null = committed page
};

BTreeWriter::BTreeWriter(const io::RandomAccessFile* file, Format format, Kind kind,
                         BlockRef root, FreePage free_page)
    : file_(file),
      format_(format),
      kind_(kind),
      leaf_size_(kind == Kind::kNodes ? NbtLeafEntrySize(format) : BbtLeafEntrySize(format)),
      index_size_(BTreeIndexEntrySize(format)),
      free_page_(std::move(free_page)),
      committed_root_(root),
      root_(root) {
  // A new tree starts as one empty leaf that the first flush writes.
  if (root.bid == 0) root_node_ = std::make_unique<Node>();
}

BTreeWriter::~BTreeWriter() = default;

Status BTreeWriter::PageError(const BlockRef& ref, const std::string& msg) const {
  return Status::Corruption(std::string("ndb: ") + (kind_ == Kind::kNodes ? "NBT" : "BBT") +
                            " page " + Hex(ref.bid) + " at offset " + Hex(ref.offset) + ": " + msg);
}

size_t BTreeWriter::EntrySize(const Node& n) const { return n.level == 0 ? leaf_size_ : index_size_; }
size_t BTreeWriter::Count(const Node& n) const { return n.entries.size() / EntrySize(n); }
size_t BTreeWriter::Capacity(const Node& n) const {
  return LayoutOf(format_).btree_entries_size / EntrySize(n);
}

uint64_t BTreeWriter::LeafKey(ByteSpan e) const {
  // NIDs are 32 bits (Unicode stores them widened); BIDs are the field width.
  if (kind_ == Kind::kNodes || !LayoutOf(format_).wide) return DecodeFixed32(e.data());
  return DecodeFixed64(e.data());
}

uint64_t BTreeWriter::KeyAt(const Node& n, size_t i) const {
  const uint8_t* p = n.entries.data() + i * EntrySize(n);
  if (kind_ == Kind::kNodes || !LayoutOf(format_).wide) return DecodeFixed32(p);
  return DecodeFixed64(p);
}

BlockRef BTreeWriter::ChildRef(const Node& n, size_t i) const {
  const uint8_t* p = n.entries.data() + i * index_size_;
  if (LayoutOf(format_).wide) return {DecodeFixed64(p + 8), DecodeFixed64(p + 16)};
  return {DecodeFixed32(p + 4), DecodeFixed32(p + 8)};
}

void BTreeWriter::SetIndexEntry(Node& n, size_t i, uint64_t key, const BlockRef& ref) const {
  uint8_t* p = n.entries.data() + i * index_size_;
  if (LayoutOf(format_).wide) {
    EncodeFixed64(p, key);
    EncodeFixed64(p + 8, ref.bid);
    EncodeFixed64(p + 16, ref.offset);
  } else {
    EncodeFixed32(p, static_cast<uint32_t>(key));
    EncodeFixed32(p + 4, static_cast<uint32_t>(ref.bid));
    EncodeFixed32(p + 8, static_cast<uint32_t>(ref.offset));
  }
}

size_t BTreeWriter::Floor(const Node& n, uint64_t key) const {
  return FloorIndex(Count(n), key, [&](size_t i) { return KeyAt(n, i); });
}

Result<BTreeWriter::NodePtr> BTreeWriter::Load(const BlockRef& ref, int expected_level,
                                               uint64_t low, bool bounded_above,
                                               uint64_t high) const {
  const FormatLayout& l = LayoutOf(format_);
  if (ref.offset % l.page_size != 0 || !RangeWithin(ref.offset, l.page_size, file_->Size())) {
    return PageError(ref, "is not a page-aligned place inside the file (" +
                              std::to_string(file_->Size()) + " bytes)");
  }
  if (read_pages_.empty()) read_pages_.resize(kReadPages);
  ReadPage& slot = read_pages_[(ref.offset / l.page_size) % kReadPages];
  if (slot.bytes.empty() || slot.offset != ref.offset || slot.bid != ref.bid) {
    Bytes bytes(l.page_size);
    PST_RETURN_IF_ERROR(file_->Read(ref.offset, bytes));
    const uint8_t ptype = kind_ == Kind::kNodes ? kPageTypeNbt : kPageTypeBbt;
    PST_RETURN_IF_ERROR(CheckPage(format_, bytes, ptype, ref.bid, ref.offset,
                                  kind_ == Kind::kNodes ? "NBT page" : "BBT page"));
    slot = ReadPage{ref.offset, ref.bid, std::move(bytes)};
  }
  const ByteSpan page = slot.bytes;
  const BTreePageMeta m = DecodeBTreePageMeta(format_, page);
  if (m.level > BTreeReader::kMaxLevel) {
    return PageError(ref, "cLevel " + std::to_string(m.level) + " is deeper than allowed");
  }
  if (expected_level >= 0 && m.level != expected_level) {
    return PageError(ref, "cLevel " + std::to_string(m.level) + ", expected " +
                              std::to_string(expected_level) + " below its parent");
  }
  auto n = std::make_unique<Node>();
  n->level = m.level;
  const size_t size = EntrySize(*n);
  if (m.entry_size != size) {
    return PageError(ref, "cbEnt " + std::to_string(m.entry_size) + ", expected " +
                              std::to_string(size));
  }
  if (m.count > m.max_count || static_cast<size_t>(m.count) * size > l.btree_entries_size) {
    return PageError(ref, "cEnt " + std::to_string(m.count) + " does not fit the page");
  }
  n->entries.assign(page.begin(), page.begin() + static_cast<ptrdiff_t>(m.count * size));
  if (n->level > 0) n->kids.resize(m.count);
  for (size_t i = 0; i < m.count; ++i) {
    const uint64_t k = KeyAt(*n, i);
    if ((i > 0 && k <= KeyAt(*n, i - 1)) || k < low || (bounded_above && k >= high)) {
      return PageError(ref, "key " + Hex(k) + " at entry " + std::to_string(i) +
                                " is out of order or outside its parent's range");
    }
  }
  return n;
}

Result<Bytes> BTreeWriter::Find(uint64_t key) const {
  const Node* n = root_node_.get();
  NodePtr holder;
  BlockRef ref = root_;
  int expected = -1;
  uint64_t low = 0;
  uint64_t high = 0;
  bool bounded = false;
  for (int steps = 0; steps <= BTreeReader::kMaxLevel + 1; ++steps) {
    if (n == nullptr) {
      if (ref.bid == 0) break;  // empty new tree
      PST_ASSIGN_OR_RETURN(holder, Load(ref, expected, low, bounded, high));
      n = holder.get();
    }
    const size_t i = Floor(*n, key);
    if (i == SIZE_MAX) break;
    if (n->level == 0) {
      if (KeyAt(*n, i) != key) break;
      const auto* p = n->entries.data() + i * leaf_size_;
      return Bytes(p, p + leaf_size_);
    }
    low = KeyAt(*n, i);
    if (i + 1 < Count(*n)) {
      high = KeyAt(*n, i + 1);
      bounded = true;
    }
    expected = n->level - 1;
    if (n->kids[i]) {
      n = n->kids[i].get();
    } else {
      ref = ChildRef(*n, i);
      n = nullptr;
    }
  }
  return Status::NotFound(std::string("ndb: ") + (kind_ == Kind::kNodes ? "NBT" : "BBT") +
                          " has no entry for " + Hex(key));
}

Status BTreeWriter::MaterializeRoot() {
  if (root_node_) return Status::Ok();
  if (root_.bid == 0) {
    root_node_ = std::make_unique<Node>();
    return Status::Ok();
  }
  PST_ASSIGN_OR_RETURN(root_node_, Load(root_, -1, 0, false, 0));
  if (free_page_) {
    Status s = free_page_(root_);
    if (!s.ok()) {
      root_node_.reset();
      return s;
    }
  }
  return Status::Ok();
}

Result<BTreeWriter::Node*> BTreeWriter::Child(Node& n, size_t i) {
  if (n.kids[i]) return n.kids[i].get();
  const bool last = i + 1 == Count(n);
  const BlockRef ref = ChildRef(n, i);
  PST_ASSIGN_OR_RETURN(NodePtr child,
                       Load(ref, n.level - 1, KeyAt(n, i), !last, last ? 0 : KeyAt(n, i + 1)));
  if (Count(*child) == 0) return PageError(ref, "an inner page of the tree is empty");
  if (free_page_) PST_RETURN_IF_ERROR(free_page_(ref));
  n.kids[i] = std::move(child);
  return n.kids[i].get();
}

BTreeWriter::NodePtr BTreeWriter::Split(Node& n, bool appended_last) {
  const size_t size = EntrySize(n);
  const size_t count = Count(n);
  // Keys arrive mostly in ascending order (BIDs and new NIDs only grow):
  // then the left page stays full and the new one takes the last entry.
  const size_t keep = appended_last ? count - 1 : count / 2;
  auto sib = std::make_unique<Node>();
  sib->level = n.level;
  sib->entries.assign(n.entries.begin() + static_cast<ptrdiff_t>(keep * size), n.entries.end());
  n.entries.resize(keep * size);
  if (n.level > 0) {
    for (size_t i = keep; i < count; ++i) sib->kids.push_back(std::move(n.kids[i]));
    n.kids.resize(keep);
  }
  return sib;
}

Status BTreeWriter::Insert(Node& n, ByteSpan entry, uint64_t key, NodePtr* sibling) {
  const size_t count = Count(n);
  bool appended_last = false;
  if (n.level == 0) {
    const size_t f = Floor(n, key);
    if (f != SIZE_MAX && KeyAt(n, f) == key) {
      std::copy(entry.begin(), entry.end(), n.entries.begin() + static_cast<ptrdiff_t>(f * leaf_size_));
      return Status::Ok();
    }
    const size_t pos = f == SIZE_MAX ? 0 : f + 1;
    n.entries.insert(n.entries.begin() + static_cast<ptrdiff_t>(pos * leaf_size_), entry.begin(),
                     entry.end());
    appended_last = pos == count;
  } else {
    size_t i = Floor(n, key);
    if (i == SIZE_MAX) i = 0;  // below every key: the first child takes it
    PST_ASSIGN_OR_RETURN(Node * child, Child(n, i));
    NodePtr split;
    PST_RETURN_IF_ERROR(Insert(*child, entry, key, &split));
    SetIndexEntry(n, i, KeyAt(*child, 0), ChildRef(n, i));
    if (split) {
      Bytes blank(index_size_, 0);
      n.entries.insert(n.entries.begin() + static_cast<ptrdiff_t>((i + 1) * index_size_),
                       blank.begin(), blank.end());
      SetIndexEntry(n, i + 1, KeyAt(*split, 0), BlockRef{});
      n.kids.insert(n.kids.begin() + static_cast<ptrdiff_t>(i + 1), std::move(split));
      appended_last = i + 1 == count;
    }
  }
  if (Count(n) > Capacity(n)) *sibling = Split(n, appended_last);
  return Status::Ok();
}

Status BTreeWriter::Put(ByteSpan entry) {
  if (entry.size() != leaf_size_) {
    return Status::InvalidArgument("ndb: B-tree entry of " + std::to_string(entry.size()) +
                                   " bytes, expected " + std::to_string(leaf_size_));
  }
  PST_RETURN_IF_ERROR(MaterializeRoot());
  const uint64_t key = LeafKey(entry);
  NodePtr split;
  PST_RETURN_IF_ERROR(Insert(*root_node_, entry, key, &split));
  if (split) {
    auto root = std::make_unique<Node>();
    root->level = static_cast<uint8_t>(root_node_->level + 1);
    if (root->level > BTreeReader::kMaxLevel) {
      return Status::FormatLimit("ndb: the B-tree would grow deeper than allowed");
    }
    root->entries.assign(2 * index_size_, 0);
    SetIndexEntry(*root, 0, KeyAt(*root_node_, 0), BlockRef{});
    SetIndexEntry(*root, 1, KeyAt(*split, 0), BlockRef{});
    root->kids.push_back(std::move(root_node_));
    root->kids.push_back(std::move(split));
    root_node_ = std::move(root);
  }
  return Status::Ok();
}

Status BTreeWriter::MaybeMerge(Node& n, size_t i) {
  Node& c = *n.kids[i];
  const size_t cap = Capacity(c);
  if (Count(c) >= cap / 4 || Count(n) < 2) return Status::Ok();
  const size_t j = i + 1 < Count(n) ? i + 1 : i - 1;
  size_t other = 0;
  if (n.kids[j]) {
    other = Count(*n.kids[j]);
  } else {
    const bool last = j + 1 == Count(n);
    PST_ASSIGN_OR_RETURN(NodePtr peek, Load(ChildRef(n, j), n.level - 1, KeyAt(n, j), !last,
                                            last ? 0 : KeyAt(n, j + 1)));
    other = Count(*peek);
  }
  if (Count(c) + other > cap) return Status::Ok();
  PST_RETURN_IF_ERROR(Child(n, j).status());
  const size_t left = std::min(i, j);
  const size_t right = std::max(i, j);
  Node& l = *n.kids[left];
  Node& r = *n.kids[right];
  l.entries.insert(l.entries.end(), r.entries.begin(), r.entries.end());
  for (NodePtr& k : r.kids) l.kids.push_back(std::move(k));
  n.kids.erase(n.kids.begin() + static_cast<ptrdiff_t>(right));
  n.entries.erase(n.entries.begin() + static_cast<ptrdiff_t>(right * index_size_),
                  n.entries.begin() + static_cast<ptrdiff_t>((right + 1) * index_size_));
  return Status::Ok();
}

Status BTreeWriter::Erase(Node& n, uint64_t key) {
  const size_t i = Floor(n, key);
  if (n.level == 0) {
    if (i == SIZE_MAX || KeyAt(n, i) != key) return Status::NotFound("ndb: no entry " + Hex(key));
    n.entries.erase(n.entries.begin() + static_cast<ptrdiff_t>(i * leaf_size_),
                    n.entries.begin() + static_cast<ptrdiff_t>((i + 1) * leaf_size_));
    return Status::Ok();
  }
  if (i == SIZE_MAX) return Status::NotFound("ndb: no entry " + Hex(key));
  PST_ASSIGN_OR_RETURN(Node * child, Child(n, i));
  PST_RETURN_IF_ERROR(Erase(*child, key));
  if (Count(*child) == 0) {
    n.kids.erase(n.kids.begin() + static_cast<ptrdiff_t>(i));
    n.entries.erase(n.entries.begin() + static_cast<ptrdiff_t>(i * index_size_),
                    n.entries.begin() + static_cast<ptrdiff_t>((i + 1) * index_size_));
    return Status::Ok();
  }
  SetIndexEntry(n, i, KeyAt(*child, 0), ChildRef(n, i));
  return MaybeMerge(n, i);
}

Status BTreeWriter::Remove(uint64_t key) {
  PST_RETURN_IF_ERROR(Find(key).status());  // so a miss changes no page
  PST_RETURN_IF_ERROR(MaterializeRoot());
  PST_RETURN_IF_ERROR(Erase(*root_node_, key));
  while (root_node_ && root_node_->level > 0 && Count(*root_node_) <= 1) {
    if (Count(*root_node_) == 0) {
      root_node_ = std::make_unique<Node>();
    } else if (root_node_->kids[0]) {
      NodePtr only = std::move(root_node_->kids[0]);
      root_node_ = std::move(only);
    } else {
      // The only child is a committed page: it becomes the root as it is.
      root_ = ChildRef(*root_node_, 0);
      root_node_.reset();
    }
  }
  return Status::Ok();
}

Status BTreeWriter::Walk(const Node& n, const std::function<Status(ByteSpan)>& fn,
                         int depth) const {
  if (depth > BTreeReader::kMaxLevel + 1) return Status::Corruption("ndb: B-tree too deep");
  const size_t count = Count(n);
  for (size_t i = 0; i < count; ++i) {
    if (n.level == 0) {
      PST_RETURN_IF_ERROR(fn(ByteSpan(n.entries).subspan(i * leaf_size_, leaf_size_)));
    } else if (n.kids[i]) {
      PST_RETURN_IF_ERROR(Walk(*n.kids[i], fn, depth + 1));
    } else {
      const bool last = i + 1 == count;
      PST_ASSIGN_OR_RETURN(NodePtr child, Load(ChildRef(n, i), n.level - 1, KeyAt(n, i), !last,
                                               last ? 0 : KeyAt(n, i + 1)));
      PST_RETURN_IF_ERROR(Walk(*child, fn, depth + 1));
    }
  }
  return Status::Ok();
}

Status BTreeWriter::ForEach(const std::function<Status(ByteSpan entry)>& fn) const {
  // Keys are checked against their parent's range as each page is loaded, so
  // no page can be reached twice.
  if (root_node_) return Walk(*root_node_, fn, 0);
  if (root_.bid == 0) return Status::Ok();
  PST_ASSIGN_OR_RETURN(NodePtr root, Load(root_, -1, 0, false, 0));
  return Walk(*root, fn, 0);
}

Result<BlockRef> BTreeWriter::FlushNode(Node& n, const std::function<Result<uint64_t>()>& allocate,
                                        uint64_t* next_page_bid,
                                        const std::function<Status(uint64_t, ByteSpan)>& write) {
  for (size_t i = 0; i < n.kids.size(); ++i) {
    if (!n.kids[i]) continue;
    PST_ASSIGN_OR_RETURN(BlockRef ref, FlushNode(*n.kids[i], allocate, next_page_bid, write));
    SetIndexEntry(n, i, KeyAt(n, i), ref);
  }
  const FormatLayout& l = LayoutOf(format_);
  if (!l.wide && *next_page_bid > 0xFFFFFFFFull) {
    return Status::FormatLimit("ndb: page BIDs of the ANSI format are used up");
  }
  PST_ASSIGN_OR_RETURN(uint64_t offset, allocate());
  const BlockRef ref{(*next_page_bid)++, offset};
  Bytes page(l.page_size, 0);
  std::copy(n.entries.begin(), n.entries.end(), page.begin());
  BTreePageMeta m;
  m.count = static_cast<uint16_t>(Count(n));
  m.max_count = static_cast<uint16_t>(Capacity(n));
  m.entry_size = static_cast<uint8_t>(EntrySize(n));
  m.level = n.level;
  EncodeBTreePageMeta(format_, m, page);
  SealPage(format_, kind_ == Kind::kNodes ? kPageTypeNbt : kPageTypeBbt, ref.bid, ref.offset, page);
  PST_RETURN_IF_ERROR(write(ref.offset, page));
  return ref;
}

Result<BlockRef> BTreeWriter::Flush(const std::function<Result<uint64_t>()>& allocate,
                                    uint64_t* next_page_bid,
                                    const std::function<Status(uint64_t, ByteSpan)>& write) {
  if (!root_node_) return root_;
  return FlushNode(*root_node_, allocate, next_page_bid, write);
}

size_t BTreeWriter::PagesBelow(const Node& n) {
  size_t pages = 1;
  for (const NodePtr& kid : n.kids) {
    if (kid) pages += PagesBelow(*kid);
  }
  return pages;
}

Status BTreeWriter::Spill(size_t max_pages, const std::function<Result<uint64_t>()>& allocate,
                          uint64_t* next_page_bid, const std::function<Status(uint64_t, ByteSpan)>& write) {
  constexpr size_t kCheckEvery = 512;
  if (++changes_since_spill_check_ < kCheckEvery || !root_node_) return Status::Ok();
  changes_since_spill_check_ = 0;
  if (PagesBelow(*root_node_) <= max_pages) return Status::Ok();
  Node& root = *root_node_;
  for (size_t i = 0; i < root.kids.size(); ++i) {
    if (!root.kids[i]) continue;
    PST_ASSIGN_OR_RETURN(BlockRef ref, FlushNode(*root.kids[i], allocate, next_page_bid, write));
    SetIndexEntry(root, i, KeyAt(root, i), ref);
    root.kids[i].reset();
  }
  return Status::Ok();
}

void BTreeWriter::Committed(BlockRef root) {
  committed_root_ = root_ = root;
  root_node_.reset();
}

void BTreeWriter::Abandon() {
  read_pages_.clear();  // the next transaction gives this one's BIDs anew
  root_ = committed_root_;
  root_node_.reset();
  if (root_.bid == 0) root_node_ = std::make_unique<Node>();
}

Status BTreeWriter::ForEachPage(const io::RandomAccessFile& file, Format format, Kind kind,
                                BlockRef root,
                                const std::function<Status(const BlockRef&, uint8_t)>& fn) {
  BTreeWriter w(&file, format, kind, root, nullptr);
  std::unordered_set<uint64_t> seen;
  struct Item {
    BlockRef ref;
    int level;
    uint64_t low;
    bool bounded;
    uint64_t high;
  };
  std::vector<Item> stack{{root, -1, 0, false, 0}};
  while (!stack.empty()) {
    const Item it = stack.back();
    stack.pop_back();
    if (!seen.insert(it.ref.offset).second) {
      return w.PageError(it.ref, "is reached twice; the tree has a cycle or a shared page");
    }
    PST_ASSIGN_OR_RETURN(NodePtr n, w.Load(it.ref, it.level, it.low, it.bounded, it.high));
    PST_RETURN_IF_ERROR(fn(it.ref, n->level));
    if (n->level == 0) continue;
    const size_t count = w.Count(*n);
    for (size_t i = 0; i < count; ++i) {
      const bool last = i + 1 == count;
      stack.push_back({w.ChildRef(*n, i), n->level - 1, w.KeyAt(*n, i), last ? it.bounded : true,
                       last ? it.high : w.KeyAt(*n, i + 1)});
    }
  }
  return Status::Ok();
}

}  // namespace pst::ndb
