// BlockWriter: how the layers above put bytes into a store inside a
// transaction. The LTP writers (heaps, property and table contexts) and the
// messaging layer build nodes through it; the NDB transaction implements it.
//
// Reference rule: every Write* call returns a block that holds one reference
// owned by the caller. The caller hands that reference to a node
// (Transaction::PutNode) or to a subnode entry written with
// WriteSubnodeTree, or gives it back with Release. Blocks are never modified
// once written; a changed node gets new blocks. So a data block with the
// same bytes as one written before may come back as that block, shared
// (see identical_blocks.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

// Supplies `out.size()` bytes of a stream starting at `offset`.
using StreamSource = std::function<Status(uint64_t offset, std::span<uint8_t> out)>;

// The same stream as another store keeps it: encoded with `encoding`, a
// method that maps each byte alone (see NodeData::ReadStored).
struct StoredStreamSource {
  CryptMethod encoding = CryptMethod::kNone;
  StreamSource read;  // empty: the stream has no stored form
};

// Data blocks handed over one at a time, in order, that become one data
// tree: for structures made page by page, such as a big table's heap, so
// that they are not held whole. Blocks added are given back if Finish is
// not reached.
class BlocksInOrder {
 public:
  virtual ~BlocksInOrder() = default;
  // One block of at most the format's max_block_data bytes.
  virtual Status Add(ByteSpan block) = 0;
  // Keeps the first block's place, before any Add, for a structure whose
  // first block is completed last (a heap's first page holds the header
  // that points at its root); AddFirst gives it before Finish. The blocks
  // after it need not wait for it.
  virtual Status HoldFirst() = 0;
  virtual Status AddFirst(ByteSpan block) = 0;
  // The root (0 when no block was added); the caller owns its reference.
  virtual Result<Bid> Finish() = 0;
};

class BlockWriter {
 public:
  virtual ~BlockWriter() = default;

  virtual Format format() const = 0;

  // Writes data as a data tree: one data block when it fits, else an
  // XBLOCK (or XXBLOCK) over full-size blocks. Returns 0 for empty data.
  virtual Result<Bid> WriteData(ByteSpan data) = 0;

  // Writes each element as its own data block, in order (a heap's pages or
  // a row matrix's blocks), under an XBLOCK/XXBLOCK when there are several.
  // Each element must fit one block. Returns 0 for an empty list.
  virtual Result<Bid> WriteBlocks(const std::vector<Bytes>& blocks) = 0;

  // A data tree written as its blocks come. By default the blocks are kept
  // and given to WriteBlocks at Finish.
  virtual std::unique_ptr<BlocksInOrder> StartBlocks();

  // Writes `size` bytes pulled from `source` as a data tree, in bounded
  // memory (a block at a time). Returns 0 for size 0.
  virtual Result<Bid> WriteStream(uint64_t size, const StreamSource& source) = 0;

  // Writes what WriteStream(size, plain) writes. Where this store encodes
  // with stored.encoding, the stored bytes go in as they are: no byte is
  // decoded and encoded again.
  virtual Result<Bid> WriteStoredStream(uint64_t size, const StreamSource& plain,
                                        const StoredStreamSource& stored) {
    (void)stored;
    return WriteStream(size, plain);
  }

  // Writes a subnode tree (SLBLOCK, or SIBLOCK over SLBLOCKs) for entries,
  // which it sorts by NID; duplicate NIDs are an error. The tree takes over
  // the entries' block references. Returns 0 for no entries.
  virtual Result<Bid> WriteSubnodeTree(std::vector<SubnodeEntry> entries) = 0;

  // Takes one more reference to an existing block (to share it, as Outlook
  // shares an empty table's block with its template). OutOfSpace when the
  // block's reference count is at its maximum.
  virtual Status AddRef(Bid bid) = 0;
  // The same, but a block whose count is at its maximum (cRef is 16 bits)
  // is left as it is and false returned: the caller writes the data anew.
  virtual Result<bool> TryAddRef(Bid bid) = 0;

  // Gives back one reference; a block whose count reaches zero is freed,
  // after dropping the references it holds (XBLOCK children, subnode trees).
  virtual Status Release(Bid bid) = 0;

  // A new NID of this type from the store's counters (rgnid).
  virtual Result<Nid> AllocateNid(uint8_t nid_type) = 0;
};

}  // namespace pst::ndb
