// Database: a store opened at the node-database level. Reads the header,
// finds nodes (NBT) and blocks (BBT), reads and decodes blocks, and opens
// nodes as NodeData. Never writes the file.
#pragma once

#include <functional>
#include <memory>
#include <span>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/damage_log.h"
#include "pst/ndb/header.h"
#include "pst/ndb/node.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

// A leaf entry of the node B-tree.
struct NodeEntry {
  Nid nid = 0;
  Bid data_bid = 0;    // data block or XBLOCK/XXBLOCK; 0 = no data
  Bid subnode_bid = 0; // SLBLOCK/SIBLOCK; 0 = no subnodes
  Nid parent_nid = 0;
};

// A leaf entry of the block B-tree.
struct BlockEntry {
  Bid bid = 0;
  uint64_t offset = 0;   // file offset of the block
  uint16_t size = 0;     // bytes of data, without padding and trailer
  uint16_t ref_count = 0;
  // Bytes of data after decompression: differs from size only for the
  // compressed blocks of the 4K variant.
  uint16_t inflated_size = 0;
};

// Leaf entries decoded from their on-disk bytes (cbEnt of the format).
NodeEntry DecodeNodeEntry(Format format, ByteSpan entry);
BlockEntry DecodeBlockEntry(Format format, ByteSpan entry);
// The inverses, into entry.size() >= cbEnt bytes (padding written as 0).
void EncodeNodeEntry(Format format, const NodeEntry& e, std::span<uint8_t> entry);
void EncodeBlockEntry(Format format, const BlockEntry& e, std::span<uint8_t> entry);

// What a reader of blocks one after another (the blocks of a data tree)
// keeps between reads, so that the store can save work on the next one. A
// store that uses none of it still reads correctly.
struct BlockSequence {
  // A buffer the caller is done with (the block before's), to read into.
  Bytes spare;
  // The blocks the caller means to read next, in order. Where they lie back
  // to back after the one asked for, the store may read them in the same
  // call into `ahead`: one read of the file instead of one per block.
  std::span<const BlockEntry> next;
  // File bytes read ahead: `ahead` holds the file's bytes from `ahead_offset`.
  uint64_t ahead_offset = 0;
  BufferBytes ahead;
};

class Database {
 public:
  // Opens and validates the header (magic, version, CRCs, sentinel, crypt
  // method). The file must outlive nothing: the Database keeps it.
  // With `salvage` given, the database reads through damage from the start
  // (see ReadThroughDamage), so that a damaged B-tree root page still opens.
  static Result<std::unique_ptr<Database>> Open(std::shared_ptr<const io::RandomAccessFile> file,
                                                DamageLog* salvage = nullptr);

  virtual ~Database() = default;

  virtual const Header& header() const = 0;
  Format format() const { return header().format; }
  CryptMethod crypt_method() const { return header().crypt_method; }
  virtual const io::RandomAccessFile& file() const = 0;

  // NotFound if the NBT has no such node.
  virtual Result<NodeEntry> FindNode(Nid nid) const = 0;
  // NotFound if the BBT has no such block (bit 0 of bid is ignored).
  virtual Result<BlockEntry> FindBlock(Bid bid) const = 0;

  // Every NBT / BBT leaf entry in ascending key order. A damaged page is
  // reported and ends the walk with its error.
  virtual Status ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const = 0;
  virtual Status ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const = 0;

  // Reads one block: checks its trailer (size, BID, signature, CRC) against
  // its BBT entry and decodes data blocks per the crypt method.
  virtual Result<Bytes> ReadBlock(Bid bid) const = 0;
  // The same checks, but a data block's bytes are returned as stored,
  // still encoded by the crypt method (see NodeData::ReadStored). This
  // default encodes what ReadBlock gives again.
  virtual Result<Bytes> ReadStoredBlock(Bid bid) const;
  // ReadBlock, or ReadStoredBlock if `stored`, of a block whose index entry
  // the caller has looked up already (FindBlock): a store that can skips
  // looking it up again. The default looks it up. `sequence`, when given, is
  // kept by a caller that reads blocks one after another (see BlockSequence).
  virtual Result<Bytes> ReadBlockOf(const BlockEntry& entry, bool stored,
                                    BlockSequence* sequence = nullptr) const {
    (void)sequence;
    return stored ? ReadStoredBlock(entry.bid) : ReadBlock(entry.bid);
  }

  // Salvage reading, for copying mail out of a damaged store. While `log`
  // is set, a block or B-tree page whose trailer disagrees with it (CRC,
  // signature, size, BID) is used as read when it still decodes, and each
  // one is added to `log`; the layers above still check every structure
  // they decode. nullptr (the default) makes every such block an error.
  // The log must outlive its use; reads through damage are never cached.
  // Views of a store being written never salvage.
  virtual void ReadThroughDamage(DamageLog* /*log*/) const {}
  virtual DamageLog* damage_log() const { return nullptr; }

  // Opens a top-level node by NID. A NodeData refers to its Database and
  // must not outlive it.
  virtual Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const = 0;
  // Opens a node from its BIDs (used for subnodes and by tools).
  virtual Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                             Bid subnode_bid) const = 0;
};

}  // namespace pst::ndb
