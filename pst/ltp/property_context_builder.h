// PropertyContextBuilder: the properties of one object (store, folder,
// message, attachment, name map) collected in memory and written as a new
// node: heap pages for its data tree and a subnode tree for large values
// and for the subnodes the caller adds (attachments, tables, embedded
// messages).
//
//   PropertyContextBuilder pc(format);
//   pc.Set(MakeTag(0x3001, kPtypString), utf16_name);
//   pc.SetStream(MakeTag(0x1000, kPtypString), size, source);  // a large body
//   pc.AddSubnode(recipient_table);  // written with TableContextBuilder
//   PST_ASSIGN_OR_RETURN(auto node, pc.Write(txn));
//   txn.PutNode({nid, node.data_bid, node.subnode_bid, parent});
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/prop_types.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/value_writer.h"
#include "pst/ndb/block_writer.h"

namespace pst::ltp {

// The blocks of a written node, each holding one reference for the caller.
struct WrittenNode {
  ndb::Bid data_bid = 0;
  ndb::Bid subnode_bid = 0;
};

class PropertyContextBuilder {
 public:
  explicit PropertyContextBuilder(ndb::Format format);

  // Starts from the properties of an existing context. Values up to
  // `max_in_memory` bytes are copied; larger ones are streamed from `pc` at
  // Write time, so `pc` must outlive that call. The existing node's own
  // subnodes (attachments, tables) are not carried over: add them again.
  static Result<PropertyContextBuilder> FromExisting(ndb::Format format,
                                                     const PropertyContext& pc,
                                                     size_t max_in_memory = 64 * 1024);

  // Sets a property (replacing any with the same id) to its stored bytes:
  // little-endian numbers, Boolean as one byte, strings without terminator
  // (UTF-16LE for PtypString), multi-valued values in their stored layout,
  // PtypObject as {nid, size} of a subnode added with AddSubnode.
  // InvalidArgument for types a store cannot hold and for values whose
  // size or layout does not fit their type.
  Status Set(PropTag tag, Bytes value);
  // Sets a variable-size property whose `size` bytes come from `source` at
  // Write time (bodies, attachment data); `source` must stay valid until then.
  // `stored`: the same bytes as another store keeps them (see
  // ndb::BlockWriter::WriteStoredStream), or none.
  Status SetStream(PropTag tag, uint64_t size, ndb::StreamSource source,
                   ndb::StoredStreamSource stored = {});
  // Removes a property; false when there was none.
  bool Remove(uint16_t id);

  bool Has(uint16_t id) const { return values_.count(id) != 0; }
  // The stored bytes of an in-memory property, or nullptr (absent or streamed).
  const Bytes* Find(uint16_t id) const;
  size_t size() const { return values_.size(); }

  // A subnode the caller has written; its block references pass to the
  // node's subnode tree when Write succeeds. Until then they stay the
  // caller's (also when Write fails).
  Status AddSubnode(const ndb::SubnodeEntry& entry);

  // The largest variable-size value kept in the heap (default: Outlook's
  // practice; at most 3580).
  void set_heap_value_limit(size_t limit) { heap_limit_ = limit; }

  // Writes the node. On failure every block this call wrote is given back.
  // After success the added subnodes belong to the node; add them again
  // before writing once more.
  Result<WrittenNode> Write(ndb::BlockWriter& writer);

 private:
  struct Value {
    uint16_t type = 0;
    Bytes data;
    bool streamed = false;
    uint64_t stream_size = 0;
    ndb::StreamSource source;
    ndb::StoredStreamSource stored;
  };

  Result<uint32_t> PlaceValue(const Value& v, HeapWriter& heap, ValueWriter& values) const;
  Status CheckObjects() const;

  ndb::Format format_;
  size_t heap_limit_ = kOutlookHeapValueLimit;
  std::map<uint16_t, Value> values_;
  std::vector<ndb::SubnodeEntry> extra_subnodes_;
};

}  // namespace pst::ltp
