// What the checker's passes share: the file, the header, the report, and
// compact tables of every page, node and block found, filled by the passes
// in the order check.cc runs them. Private to the check layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pst/check/check.h"
#include "pst/io/file.h"
#include "pst/ndb/database.h"
#include "pst/ndb/header.h"

namespace pst::check {

// Collects findings, keeping at most max_problems of them.
class Findings {
 public:
  Findings(CheckReport* report, size_t max_problems) : report_(report), max_(max_problems) {}
  void Error(std::string where, std::string what) { Add(Severity::kError, std::move(where), std::move(what)); }
  void Warning(std::string where, std::string what) {
    Add(Severity::kWarning, std::move(where), std::move(what));
  }
  void Note(std::string where, std::string what) { Add(Severity::kNote, std::move(where), std::move(what)); }
  void Add(Severity severity, std::string where, std::string what);

 private:
  CheckReport* report_;
  size_t max_;
};

// A page reached through a B-tree or found at a map position.
struct PageRecord {
  uint64_t offset = 0;
  ndb::Bid bid = 0;
  uint8_t ptype = 0;
};

// What a block turned out to be once read.
enum class BlockKind : uint8_t {
  kUnread,      // not read (outside the file, misaligned, too large)
  kBadTrailer,  // read, but its trailer or CRC is wrong
  kData,        // external data block
  kXBlock,      // internal, btype 1 cLevel 1
  kXXBlock,     // internal, btype 1 cLevel 2
  kSLBlock,     // internal, btype 2 cLevel 0
  kSIBlock,     // internal, btype 2 cLevel 1
  kBadInternal, // internal BID but contents no internal block has
};

// One entry of an internal block: a data-tree child (bid), an SLENTRY
// (nid, bid = bidData, sub = bidSub) or an SIENTRY (nid, bid = child).
struct ChildRef {
  ndb::Nid nid = 0;
  ndb::Bid bid = 0;
  ndb::Bid sub = 0;
};

struct BlockRecord {
  ndb::Bid bid = 0;
  uint64_t offset = 0;
  uint16_t size = 0;
  uint16_t inflated_size = 0;
  uint16_t ref_count = 0;  // cRef from the BBT
  BlockKind kind = BlockKind::kUnread;
  bool reachable = false;  // reached from some node's data or subnode tree
  uint32_t refs = 0;       // references found in NBT entries and internal blocks
  uint32_t total = 0;      // lcbTotal of an XBLOCK / XXBLOCK
  size_t first_child = 0;  // entries in Context::children
  size_t child_count = 0;
};

struct Context {
  Context(const io::RandomAccessFile& f, const CheckOptions& o, CheckReport* r)
      : file(f), options(o), report(r), findings(r, o.max_problems) {}

  const io::RandomAccessFile& file;
  const CheckOptions& options;
  CheckReport* report;
  Findings findings;

  ndb::Header header;
  // The header as the engine must see it: the file's own bytes, or with
  // bad CRCs recomputed so the rest can still be checked.
  std::shared_ptr<const io::RandomAccessFile> readable_file;

  std::vector<PageRecord> pages;          // B-tree pages, in walk order
  std::vector<ndb::NodeEntry> nodes;      // NBT leaf entries, sorted by NID
  std::vector<BlockRecord> blocks;        // BBT leaf entries, sorted by BID
  std::vector<ChildRef> children;         // entries of internal blocks
  bool nbt_complete = true;               // every NBT page could be read
  bool bbt_complete = true;

  // Highest nidIndex per nidType among subnodes (for the header counters).
  uint32_t max_subnode_index[32] = {};

  const ndb::FormatLayout& layout() const { return ndb::LayoutOf(header.format); }
  BlockRecord* FindBlock(ndb::Bid bid);
  const ndb::NodeEntry* FindNode(ndb::Nid nid) const;
};

// The passes, in the order CheckStore runs them.

// Reads and checks the header; false if nothing else can be checked.
bool CheckHeader(Context& ctx);
// Walks both B-trees, filling pages, nodes and blocks; false if a root
// page cannot be read.
bool CheckBTrees(Context& ctx);
// Reads every block: trailer, CRC, internal block layout.
void CheckBlocks(Context& ctx);
// Data and subnode trees of every node, references and reference counts,
// the header's BID and NID counters.
void CheckReferences(Context& ctx);
// Map pages, the DList, and the AMap bits against the space in use.
void CheckSpace(Context& ctx);
// Heaps, BTHs, property and table contexts of every node and subnode.
void CheckObjects(Context& ctx, const ndb::Database& db);
// Folder tables and counts, store EntryIDs, the named-property map.
void CheckFolders(Context& ctx, const ndb::Database& db);
void CheckNameMap(Context& ctx, const ndb::Database& db);

// Helpers for messages.
std::string BlockWhere(const BlockRecord& block);
std::string NodeWhere(ndb::Nid nid);
std::string KindName(BlockKind kind);

}  // namespace pst::check
