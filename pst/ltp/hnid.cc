#include "pst/ltp/hnid.h"

#include <string>

#include "pst/base/hex.h"

namespace pst::ltp {
namespace {

Result<std::unique_ptr<ndb::NodeData>> OpenValueSubnode(const Heap& heap, uint32_t nid) {
  auto sub = heap.node().OpenSubnode(nid);
  if (sub.ok()) return sub;
  const std::string where = "value subnode " + Hex(nid) + " of node " + Hex(heap.node().nid());
  // A value that names a subnode the node does not have is a broken file.
  if (sub.status().IsNotFound()) return Status::Corruption(where + " does not exist");
  return sub.status().WithContext(where);
}

}  // namespace

Result<uint64_t> HnidValueSize(const Heap& heap, uint32_t hnid) {
  if (hnid == 0) return uint64_t{0};
  if (IsHid(hnid)) {
    PST_ASSIGN_OR_RETURN(size_t size, heap.ItemSize(hnid));
    return uint64_t{size};
  }
  PST_ASSIGN_OR_RETURN(auto sub, OpenValueSubnode(heap, hnid));
  return sub->size();
}

Result<Bytes> ReadHnidValue(const Heap& heap, uint32_t hnid, size_t max_size) {
  if (hnid == 0) return Bytes();
  if (IsHid(hnid)) return heap.Item(hnid);  // at most one page
  PST_ASSIGN_OR_RETURN(auto sub, OpenValueSubnode(heap, hnid));
  const uint64_t size = sub->size();
  if (size > max_size) {
    return Status::NotSupported("value subnode " + Hex(hnid) + " of node " +
                                Hex(heap.node().nid()) + " holds " + std::to_string(size) +
                                " bytes, more than the " + std::to_string(max_size) +
                                " that may be read at once");
  }
  Bytes data(static_cast<size_t>(size));
  PST_RETURN_IF_ERROR(sub->Read(0, data));
  return data;
}

Result<std::unique_ptr<ValueStream>> OpenHnidValue(const Heap& heap, uint32_t hnid) {
  if (hnid == 0 || IsHid(hnid)) {
    PST_ASSIGN_OR_RETURN(Bytes item, heap.Item(hnid));
    return MakeMemoryValueStream(std::move(item));
  }
  PST_ASSIGN_OR_RETURN(auto sub, OpenValueSubnode(heap, hnid));
  return MakeNodeValueStream(std::move(sub));
}

}  // namespace pst::ltp
