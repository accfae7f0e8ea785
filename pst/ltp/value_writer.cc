#include "pst/ltp/value_writer.h"

#include <algorithm>
#include <utility>

#include "pst/base/hex.h"

namespace pst::ltp {

ValueWriter::ValueWriter(ndb::BlockWriter* writer, HeapWriter* heap, size_t heap_limit,
                         size_t heap_budget)
    : writer_(writer),
      heap_(heap),
      heap_limit_(std::min(heap_limit, HeapWriter::kMaxItemSize)),
      heap_budget_left_(heap_budget) {}

ValueWriter::~ValueWriter() { (void)ReleaseSubnodes(*writer_, subnodes_); }

Result<uint32_t> ValueWriter::Place(ByteSpan value) {
  if (value.empty()) return uint32_t{0};
  if (FitsHeap(value.size())) {
    heap_budget_left_ -= value.size();
    return heap_->Allocate(value);
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid nid, writer_->AllocateNid(ndb::kNidTypeLtp));
  PST_ASSIGN_OR_RETURN(ndb::Bid bid, writer_->WriteData(value));
  subnodes_.push_back({nid, bid, 0});
  return nid;
}

Result<uint32_t> ValueWriter::PlaceStream(uint64_t size, const ndb::StreamSource& source,
                                          const ndb::StoredStreamSource& stored) {
  if (size == 0) return uint32_t{0};
  if (FitsHeap(size)) {
    heap_budget_left_ -= static_cast<size_t>(size);
    Bytes value(static_cast<size_t>(size));
    PST_RETURN_IF_ERROR(source(0, value));
    return heap_->Allocate(value);
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid nid, writer_->AllocateNid(ndb::kNidTypeLtp));
  PST_ASSIGN_OR_RETURN(ndb::Bid bid, writer_->WriteStoredStream(size, source, stored));
  subnodes_.push_back({nid, bid, 0});
  return nid;
}

Status ValueWriter::PlaceStreamAs(ndb::Nid nid, uint64_t size, const ndb::StreamSource& source) {
  PST_ASSIGN_OR_RETURN(ndb::Bid bid, writer_->WriteStream(size, source));
  subnodes_.push_back({nid, bid, 0});
  return Status::Ok();
}

std::vector<ndb::SubnodeEntry> ValueWriter::Take() { return std::exchange(subnodes_, {}); }

Status ReleaseSubnodes(ndb::BlockWriter& writer, const std::vector<ndb::SubnodeEntry>& entries) {
  Status first;
  for (const ndb::SubnodeEntry& e : entries) {
    for (ndb::Bid bid : {e.data_bid, e.subnode_bid}) {
      if (bid == 0) continue;
      Status s = writer.Release(bid);
      if (first.ok() && !s.ok()) first = s.WithContext("giving back subnode " + Hex(e.nid));
    }
  }
  return first;
}

}  // namespace pst::ltp
