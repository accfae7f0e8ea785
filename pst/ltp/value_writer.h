// ValueWriter: places the variable-size values of one property or table
// context the way Outlook does, and keeps the subnodes it writes for them
// until the node takes them over (or gives them back when building fails).
#pragma once

#include <cstdint>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ndb/block_writer.h"

namespace pst::ltp {

// Outlook keeps values of up to about 1 KB in the heap and moves larger ones
// (and large row matrices) into subnodes; readers take both placements.
constexpr size_t kOutlookHeapValueLimit = 1024;

class ValueWriter {
 public:
  // heap_limit: the largest value kept in the heap (at most
  // HeapWriter::kMaxItemSize).
  ValueWriter(ndb::BlockWriter* writer, HeapWriter* heap, size_t heap_limit);
  // Gives back every subnode written and not taken by Take().
  ~ValueWriter();

  ValueWriter(const ValueWriter&) = delete;
  ValueWriter& operator=(const ValueWriter&) = delete;

  // The HNID of a variable-size value: 0 when empty, a heap item up to the
  // limit, else a new subnode (type 0x1F NID from the store's counter).
  Result<uint32_t> Place(ByteSpan value);
  // The same for a value pulled from `source`; large values are copied a
  // block at a time into the subnode, never held in memory.
  Result<uint32_t> PlaceStream(uint64_t size, const ndb::StreamSource& source);
  // Writes blocks as the data of a subnode with a given NID (a table's row
  // matrix, NID 0x3F).
  Status PlaceBlocks(ndb::Nid nid, const std::vector<Bytes>& blocks);

  // The subnodes written so far; the caller now owns their references.
  std::vector<ndb::SubnodeEntry> Take();

 private:
  ndb::BlockWriter* writer_;
  HeapWriter* heap_;
  size_t heap_limit_;
  std::vector<ndb::SubnodeEntry> subnodes_;
};

// Gives back the block references of subnode entries (after a failed
// build); the first error is returned, the rest still released.
Status ReleaseSubnodes(ndb::BlockWriter& writer, const std::vector<ndb::SubnodeEntry>& entries);

}  // namespace pst::ltp
