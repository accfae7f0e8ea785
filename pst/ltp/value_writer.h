// ValueWriter: places the variable-size values of one property or table
// context the way Outlook does, and keeps the subnodes it writes for them
// until the node takes them over (or gives them back when building fails).
#pragma once

#include <cstdint>
#include <cstddef>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ndb/block_writer.h"

namespace pst::ltp {

// Outlook keeps values of up to about 1 KB in the heap and moves larger ones
// (and large row matrices) into subnodes; readers take both placements.
constexpr size_t kOutlookHeapValueLimit = 1024;

// A property context keeps at most this many bytes of variable values in its
// heap; later values go to subnodes even when small. Outlook's property
// contexts never span more than a page or two, and libpff misreads property
// contexts whose heap runs to nine pages or more (see name_map_writer.cc);
// 32 KiB keeps the heap within about five pages.
constexpr size_t kPropertyHeapValueBudget = 32 * 1024;

class ValueWriter {
 public:
  // heap_limit: the largest value kept in the heap (at most
  // HeapWriter::kMaxItemSize).
  // heap_budget: the most bytes of values placed in the heap in all.
  ValueWriter(ndb::BlockWriter* writer, HeapWriter* heap, size_t heap_limit,
              size_t heap_budget = SIZE_MAX);
  // Gives back every subnode written and not taken by Take().
  ~ValueWriter();

  ValueWriter(const ValueWriter&) = delete;
  ValueWriter& operator=(const ValueWriter&) = delete;

  // The HNID of a variable-size value: 0 when empty, a heap item up to the
  // limit, else a new subnode (type 0x1F NID from the store's counter).
  Result<uint32_t> Place(ByteSpan value);
  // The same for a value pulled from `source`; large values are copied a
  // block at a time into the subnode, never held in memory.
  // `stored`, when given, is the same value as another store keeps it
  // (copied without decoding where this store encodes the same way).
  Result<uint32_t> PlaceStream(uint64_t size, const ndb::StreamSource& source,
                               const ndb::StoredStreamSource& stored = {});
  // Writes a subnode with this NID whose data is `size` bytes read from
  // `source` block by block (a table's row matrix).
  Status PlaceStreamAs(ndb::Nid nid, uint64_t size, const ndb::StreamSource& source);

  // The subnodes written so far; the caller now owns their references.
  std::vector<ndb::SubnodeEntry> Take();

 private:
  ndb::BlockWriter* writer_;
  HeapWriter* heap_;
  size_t heap_limit_;
  size_t heap_budget_left_;
  std::vector<ndb::SubnodeEntry> subnodes_;

  bool FitsHeap(uint64_t size) const { return size <= heap_limit_ && size <= heap_budget_left_; }
};

// Gives back the block references of subnode entries (after a failed
// build); the first error is returned, the rest still released.
Status ReleaseSubnodes(ndb::BlockWriter& writer, const std::vector<ndb::SubnodeEntry>& entries);

}  // namespace pst::ltp
