#include "pst/ltp/node_writer.h"

#include <vector>

#include "pst/base/hex.h"

namespace pst::ltp {
namespace {

Status Put(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent, const WrittenNode& node) {
  Status s = txn.PutNode({nid, node.data_bid, node.subnode_bid, parent});
  if (!s.ok()) {
    if (node.data_bid) (void)txn.Release(node.data_bid);
    if (node.subnode_bid) (void)txn.Release(node.subnode_bid);
    return s.WithContext("writing node " + Hex(nid));
  }
  return Status::Ok();
}

}  // namespace

Status PutPropertyContext(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent,
                          PropertyContextBuilder& pc) {
  auto node = pc.Write(txn);
  if (!node.ok()) return node.status().WithContext("writing node " + Hex(nid));
  return Put(txn, nid, parent, *node);
}

Status PutTableContext(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent,
                       const TableContextBuilder& tc) {
  auto node = tc.Write(txn);
  if (!node.ok()) return node.status().WithContext("writing node " + Hex(nid));
  return Put(txn, nid, parent, *node);
}

namespace {

// The source's data blocks written again, block for block (a heap's pages
// must stay whole).
Result<ndb::Bid> CopyData(ndb::Transaction& txn, ndb::Nid source) {
  PST_ASSIGN_OR_RETURN(auto data, txn.OpenNode(source));
  std::vector<Bytes> blocks;
  for (size_t i = 0; i < data->block_count(); ++i) {
    PST_ASSIGN_OR_RETURN(Bytes block, data->ReadBlock(i));
    blocks.push_back(std::move(block));
  }
  return txn.WriteBlocks(blocks);
}

}  // namespace

Result<bool> PutSharedCopy(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent, ndb::Nid source) {
  PST_ASSIGN_OR_RETURN(ndb::NodeEntry from, txn.FindNode(source));
  WrittenNode node{from.data_bid, from.subnode_bid};
  bool shared = true;
  if (from.data_bid) {
    PST_ASSIGN_OR_RETURN(shared, txn.TryAddRef(from.data_bid));
    if (!shared) {
      auto copy = CopyData(txn, source);
      if (!copy.ok()) return copy.status().WithContext("copying node " + Hex(source) + " for " + Hex(nid));
      node.data_bid = *copy;
    }
  }
  if (from.subnode_bid) {
    // Tables made from templates have no subnodes; a full subnode tree is
    // not copied.
    Status s = txn.AddRef(from.subnode_bid);
    if (!s.ok()) {
      if (node.data_bid) (void)txn.Release(node.data_bid);
      return s;
    }
  }
  PST_RETURN_IF_ERROR(Put(txn, nid, parent, node));
  return shared;
}

Result<ndb::SubnodeEntry> WritePropertySubnode(ndb::BlockWriter& writer, ndb::Nid nid,
                                               PropertyContextBuilder& pc) {
  auto node = pc.Write(writer);
  if (!node.ok()) return node.status().WithContext("writing subnode " + Hex(nid));
  return ndb::SubnodeEntry{nid, node->data_bid, node->subnode_bid};
}

Result<ndb::SubnodeEntry> WriteTableSubnode(ndb::BlockWriter& writer, ndb::Nid nid,
                                            const TableContextBuilder& tc) {
  auto node = tc.Write(writer);
  if (!node.ok()) return node.status().WithContext("writing subnode " + Hex(nid));
  return ndb::SubnodeEntry{nid, node->data_bid, node->subnode_bid};
}

}  // namespace pst::ltp
