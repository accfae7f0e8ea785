// B-tree pass: walks the node and block B-trees ([MS-PST] 2.2.2.7.7) page by
// page, reporting every damaged page and going on with its siblings.
//
// BTPAGE: rgentries, then cEnt, cEntMax, cbEnt, cLevel (page.h), then the
// PAGETRAILER (ptype 0x80 BBT / 0x81 NBT, wSig = ComputeSig(ib, bid), dwCRC
// over the bytes before the trailer, bid = the BREF's bid).
// BTENTRY (cLevel > 0): btkey (4 ANSI / 8 Unicode), BREF of the child;
// every key of the child must lie in [btkey, next BTENTRY's key), and
// Outlook keeps btkey equal to the child's first key.
#include <algorithm>
#include <string>
#include <unordered_set>

#include "pst/base/byte_reader.h"
#include "pst/base/checked_math.h"
#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ndb/page.h"

namespace pst::check {
namespace {

// Real stores stay below 4 levels; the engine refuses roots above 7.
constexpr int kMaxLevel = 7;

class TreeWalker {
 public:
  TreeWalker(Context& ctx, bool nodes) : ctx_(ctx), nodes_(nodes) {}

  // Returns false when the root page itself cannot be used.
  bool Run(const ndb::BlockRef& root) {
    root_ok_ = true;
    Walk(root, -1, 0, false, 0, false, 0, "ROOT");
    return root_ok_;
  }

 private:
  const char* Name() const { return nodes_ ? "NBT" : "BBT"; }
  uint8_t PageType() const { return nodes_ ? ndb::kPageTypeNbt : ndb::kPageTypeBbt; }

  uint64_t KeyOf(ByteSpan entry) const {
    if (nodes_) return DecodeFixed32(entry.data());
    return ctx_.layout().wide ? DecodeFixed64(entry.data()) : DecodeFixed32(entry.data());
  }

  void MarkIncomplete() { (nodes_ ? ctx_.nbt_complete : ctx_.bbt_complete) = false; }

  // Fails the walk of this page (and its subtree); a failing root makes the
  // store unreadable.
  void Fail(bool is_root, const std::string& where, const std::string& what) {
    ctx_.findings.Error(where, what);
    MarkIncomplete();
    if (is_root) root_ok_ = false;
  }

  // expected_key: the parent BTENTRY's key, which must be the first key.
  // [low, high): the range the parent allows (high only if bounded).
  void Walk(const ndb::BlockRef& ref, int expected_level, uint64_t expected_key, bool has_key,
            uint64_t high, bool bounded, int depth, const std::string& parent) {
    const ndb::FormatLayout& l = ctx_.layout();
    const bool is_root = expected_level < 0;
    const std::string where = std::string(Name()) + " page " + Hex(ref.bid) + " at " +
                              Hex(ref.offset);
    if (depth > kMaxLevel) {
      return Fail(is_root, where, "reached deeper than " + std::to_string(kMaxLevel) + " levels");
    }
    if (ref.offset % l.page_size != 0 || !RangeWithin(ref.offset, l.page_size, ctx_.file.Size())) {
      return Fail(is_root, where,
                  (ref.offset % l.page_size != 0 ? "is not page-aligned" : "lies past the end of the file") +
                      std::string(" (named by ") + parent + ")");
    }
    if (!visited_.insert(ref.offset).second) {
      return Fail(is_root, where, "is reached a second time (from " + parent +
                                      "): the tree has a cycle or a shared page");
    }
    Bytes page(l.page_size);
    if (Status s = ctx_.readable_file->Read(ref.offset, page); !s.ok()) {
      return Fail(is_root, where, "cannot be read: " + s.message());
    }
    ++ctx_.report->counts.pages;
    const ndb::PageTrailer t = ndb::DecodePageTrailer(ctx_.header.format, page);
    if (t.ptype != PageType() || t.ptype_repeat != PageType()) {
      return Fail(is_root, where, "page type " + Hex(t.ptype) + "/" + Hex(t.ptype_repeat) +
                                      ", expected " + Hex(PageType()) + " (named by " + parent + ")");
    }
    if (t.bid != ref.bid) {
      return Fail(is_root, where, "trailer names BID " + Hex(t.bid) + ", but " + parent +
                                      " names " + Hex(ref.bid));
    }
    ctx_.pages.push_back({ref.offset, ref.bid, PageType()});
    const uint16_t sig = ndb::ComputeSig(ref.offset, ref.bid);
    if (t.sig != sig) {
      ctx_.findings.Error(where, "signature " + Hex(t.sig) + ", expected " + Hex(sig));
    }
    const size_t data_size = l.page_size - l.page_trailer_size;
    const uint32_t crc = PstCrc32(ByteSpan(page).first(data_size));
    if (t.crc != crc) {
      // A reader refuses the page: everything below it is lost to it.
      ctx_.findings.Error(where, "CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc));
      if (is_root) root_ok_ = false;
    }

    const ndb::BTreePageMeta m = ndb::DecodeBTreePageMeta(ctx_.header.format, page);
    if (m.level > kMaxLevel) {
      return Fail(is_root, where, "cLevel " + std::to_string(m.level) + " is beyond any real tree");
    }
    if (expected_level >= 0 && m.level != expected_level) {
      return Fail(false, where, "cLevel " + std::to_string(m.level) + ", expected " +
                                    std::to_string(expected_level) + " below " + parent);
    }
    const uint8_t want = m.level > 0 ? ndb::BTreeIndexEntrySize(ctx_.header.format)
                         : nodes_    ? ndb::NbtLeafEntrySize(ctx_.header.format)
                                     : ndb::BbtLeafEntrySize(ctx_.header.format);
    if (m.entry_size != want) {
      return Fail(is_root, where, "cbEnt " + std::to_string(m.entry_size) + ", expected " +
                                      std::to_string(want));
    }
    const size_t capacity = l.btree_entries_size / want;
    if (m.max_count != capacity) {
      ctx_.findings.Error(where, "cEntMax " + std::to_string(m.max_count) + ", expected " +
                                     std::to_string(capacity));
    }
    if (m.count > capacity || m.count > m.max_count) {
      return Fail(is_root, where, "cEnt " + std::to_string(m.count) + " exceeds cEntMax " +
                                      std::to_string(m.max_count));
    }
    if (m.count == 0 && !is_root) {
      return Fail(false, where, "has no entries (named by " + parent + ")");
    }

    auto entry = [&](size_t i) { return ByteSpan(page).subspan(i * want, want); };
    bool ordered = true;
    for (size_t i = 0; i < m.count; ++i) {
      const uint64_t key = KeyOf(entry(i));
      if (i == 0 && has_key && key < expected_key) {
        // A lookup of this key goes to the page before: the entry is lost.
        ctx_.findings.Error(where, "first key " + Hex(key) + " is below the key " +
                                       Hex(expected_key) + " in " + parent);
      } else if (i == 0 && has_key && key != expected_key) {
        // Allowed (every key must only be at least the parent's), but Outlook
        // always keeps the parent's key equal to the first key.
        ctx_.findings.Warning(where, "first key " + Hex(key) + " differs from the key " +
                                         Hex(expected_key) + " in " + parent);
      }
      if (i > 0 && key <= KeyOf(entry(i - 1))) {
        ctx_.findings.Error(where, "keys out of order at entry " + std::to_string(i) + " (" +
                                       Hex(KeyOf(entry(i - 1))) + " then " + Hex(key) + ")");
        ordered = false;
      }
      // The first key is held to the parent's key above; the rest to the range.
      if ((i > 0 && has_key && key < expected_key) || (bounded && key >= high)) {
        ctx_.findings.Error(where, "key " + Hex(key) + " lies outside the range " + parent +
                                       " gives the page");
        ordered = false;
      }
    }
    if (!ordered) MarkIncomplete();

    if (m.level == 0) {
      for (size_t i = 0; i < m.count; ++i) Collect(entry(i));
      return;
    }
    for (size_t i = 0; i < m.count; ++i) {
      ByteReader r(entry(i));
      const uint64_t key = r.U32or64(l.wide);
      ndb::BlockRef child;
      child.bid = r.U32or64(l.wide);
      child.offset = r.U32or64(l.wide);
      const bool last = i + 1 == m.count;
      const uint64_t next = last ? high : KeyOf(entry(i + 1));
      Walk(child, m.level - 1, key, true, next, last ? bounded : true, depth + 1,
           where + " entry " + std::to_string(i));
    }
  }

  void Collect(ByteSpan entry) {
    const ndb::Format format = ctx_.header.format;
    if (nodes_) {
      ctx_.nodes.push_back(ndb::DecodeNodeEntry(format, entry));
      return;
    }
    const ndb::BlockEntry e = ndb::DecodeBlockEntry(format, entry);
    BlockRecord b;
    b.bid = e.bid;
    b.offset = e.offset;
    b.size = e.size;
    b.inflated_size = e.inflated_size;
    b.ref_count = e.ref_count;
    ctx_.blocks.push_back(b);
  }

  Context& ctx_;
  bool nodes_;
  bool root_ok_ = true;
  std::unordered_set<uint64_t> visited_;
};

}  // namespace

bool CheckBTrees(Context& ctx) {
  TreeWalker nbt(ctx, true);
  TreeWalker bbt(ctx, false);
  const bool nbt_ok = nbt.Run(ctx.header.root.nbt_root);
  const bool bbt_ok = bbt.Run(ctx.header.root.bbt_root);

  // A sound tree yields its keys in order; sort anyway so lookups work on
  // whatever a damaged tree gave, and report keys that appear twice.
  std::stable_sort(ctx.nodes.begin(), ctx.nodes.end(),
                   [](const ndb::NodeEntry& a, const ndb::NodeEntry& b) { return a.nid < b.nid; });
  for (size_t i = 1; i < ctx.nodes.size(); ++i) {
    if (ctx.nodes[i].nid == ctx.nodes[i - 1].nid) {
      ctx.findings.Error(NodeWhere(ctx.nodes[i].nid), "appears twice in the NBT");
    }
  }
  for (BlockRecord& b : ctx.blocks) {
    if (b.bid & 1) {
      ctx.findings.Warning(BlockWhere(b), "BBT key has the reserved bit 0 set");
      b.bid &= ~ndb::Bid{1};
    }
  }
  std::stable_sort(ctx.blocks.begin(), ctx.blocks.end(),
                   [](const BlockRecord& a, const BlockRecord& b) { return a.bid < b.bid; });
  for (size_t i = 1; i < ctx.blocks.size(); ++i) {
    if (ctx.blocks[i].bid == ctx.blocks[i - 1].bid) {
      ctx.findings.Error(BlockWhere(ctx.blocks[i]), "appears twice in the BBT");
    }
  }
  for (const ndb::NodeEntry& n : ctx.nodes) {
    if (ndb::NidTypeOf(n.nid) == ndb::kNidTypeHid) {
      ctx.findings.Error(NodeWhere(n.nid), "NBT key has NID type 0 (a heap id, never a node)");
    }
  }
  ctx.report->counts.nodes = ctx.nodes.size();
  ctx.report->counts.blocks = ctx.blocks.size();
  return nbt_ok && bbt_ok;
}

}  // namespace pst::check
