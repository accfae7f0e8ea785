#include "pst/ltp/node_writer.h"

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

Status PutSharedCopy(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent, ndb::Nid source) {
  PST_ASSIGN_OR_RETURN(ndb::NodeEntry from, txn.FindNode(source));
  if (from.data_bid) PST_RETURN_IF_ERROR(txn.AddRef(from.data_bid));
  if (from.subnode_bid) {
    Status s = txn.AddRef(from.subnode_bid);
    if (!s.ok()) {
      if (from.data_bid) (void)txn.Release(from.data_bid);
      return s;
    }
  }
  return Put(txn, nid, parent, {from.data_bid, from.subnode_bid});
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
