// Test support: opens a node as whatever heap it holds and reads all of it
// (every property value, whole and streamed; every cell of every row).
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/ndb/node.h"

namespace pst::ltp::testing {

struct Counts {
  size_t pcs = 0, tcs = 0, other_heaps = 0, values = 0, streamed = 0, rows = 0, cells = 0;
  size_t guid_indexes = 0, guid_records = 0;
};

// Reads a whole value through the stream in 4 KiB pieces.
inline Status StreamWhole(const ValueStream& stream) {
  Bytes piece(4096);
  for (uint64_t off = 0; off < stream.size(); off += piece.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), stream.size() - off));
    PST_RETURN_IF_ERROR(stream.Read(off, std::span<uint8_t>(piece.data(), n)));
  }
  return Status::Ok();
}

inline Status ReadHeapNode(std::unique_ptr<ndb::NodeData> node, Counts& counts) {
  if (node->block_count() == 0) return Status::Ok();
  PST_ASSIGN_OR_RETURN(Bytes first, node->ReadBlock(0));
  if (first.size() < 4 || first[2] != 0xEC) return Status::Ok();  // not a heap
  const uint8_t client = first[3];
  if (client == kHeapClientProperties) {
    ++counts.pcs;
    PST_ASSIGN_OR_RETURN(PropertyContext pc, PropertyContext::Open(std::move(node)));
    for (const auto& e : pc.entries()) {
      PST_ASSIGN_OR_RETURN(uint64_t size, pc.ValueSize(e));
      PST_ASSIGN_OR_RETURN(auto stream, pc.OpenValue(e));
      if (stream->size() != size) return Status::Corruption("stream and value sizes differ");
      PST_RETURN_IF_ERROR(StreamWhole(*stream));
      if (size > 1024 * 1024) {
        ++counts.streamed;
        continue;
      }
      PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(e));
      if (value.size() != size) return Status::Corruption("value size differs from ValueSize");
      ++counts.values;
    }
    return Status::Ok();
  }
  if (client == kHeapClientTable) {
    ++counts.tcs;
    PST_ASSIGN_OR_RETURN(TableContext tc, TableContext::Open(std::move(node)));
    for (size_t row = 0; row < tc.row_count(); ++row) {
      PST_ASSIGN_OR_RETURN(uint32_t id, tc.RowId(row));
      PST_ASSIGN_OR_RETURN(auto found, tc.FindRow(id));
      if (found != row) {
        return Status::Corruption("table of node " + Hex(tc.node().nid()) + ": row " +
                                  std::to_string(row) + " is not where the row index puts its id");
      }
      PST_ASSIGN_OR_RETURN(auto cells, tc.ReadRow(row));
      ++counts.rows;
      counts.cells += cells.size();
    }
    return Status::Ok();
  }
  // Other heaps open and their root item reads. Only the GUID index of new
  // stores (client 0x9C, NID 0xC01: root item = HID of a BTH header) is known
  // to be a BTH in key order; the 0x8C heaps of offline stores sort their
  // 8-byte keys as byte strings.
  ++counts.other_heaps;
  PST_ASSIGN_OR_RETURN(Heap heap, Heap::Open(*node));
  PST_ASSIGN_OR_RETURN(Bytes root, heap.Item(heap.user_root()));
  if (client == 0x9C && root.size() == 4) {
    PST_ASSIGN_OR_RETURN(Bth bth, Bth::Open(heap, DecodeFixed32(root.data())));
    ++counts.guid_indexes;
    PST_RETURN_IF_ERROR(bth.ForEach([&](ByteSpan, ByteSpan) {
      ++counts.guid_records;
      return Status::Ok();
    }));
  }
  return Status::Ok();
}

// Subnodes of type 0x1F hold raw values and row matrices, never heaps.
inline Status ReadSubnodes(const ndb::NodeData& node, int depth, Counts& counts) {
  if (depth > 8) return Status::Corruption("subnodes nested too deep");
  return node.ForEachSubnode([&](ndb::Nid nid) -> Status {
    if (ndb::NidTypeOf(nid) == ndb::kNidTypeLtp) return Status::Ok();
    PST_ASSIGN_OR_RETURN(auto sub, node.OpenSubnode(nid));
    PST_RETURN_IF_ERROR(ReadSubnodes(*sub, depth + 1, counts));
    return ReadHeapNode(std::move(sub), counts).WithContext("subnode " + Hex(nid));
  });
}

}  // namespace pst::ltp::testing
