// Putting built property and table contexts into a store: as top-level
// nodes of a transaction (folders, messages, tables, the store itself) or
// as subnode entries of another node (recipient and attachment tables,
// attachments, embedded messages). Updating a node is building it again
// (PropertyContextBuilder::FromExisting, TableContextBuilder::FromTable)
// and putting it under the same NID: the old blocks are released then.
#pragma once

#include "pst/base/result.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/ndb/transaction.h"

namespace pst::ltp {

// Writes the context and makes it node `nid` (replacing a node of that NID).
// On failure nothing of it is left in the transaction.
Status PutPropertyContext(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent,
                          PropertyContextBuilder& pc);
Status PutTableContext(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent,
                       const TableContextBuilder& tc);

// Makes node `nid` share the data and subnodes of node `source` (a new
// folder's empty tables share their template's block, as Outlook does).
// A block shared by 65,535 nodes takes no more references: then `nid` gets
// a copy of the data in new blocks and false is returned, and the caller
// should share `nid` from then on.
Result<bool> PutSharedCopy(ndb::Transaction& txn, ndb::Nid nid, ndb::Nid parent, ndb::Nid source);

// Writes the context as the data of subnode `nid`; the entry holds the
// blocks' references for the parent's subnode tree.
Result<ndb::SubnodeEntry> WritePropertySubnode(ndb::BlockWriter& writer, ndb::Nid nid,
                                               PropertyContextBuilder& pc);
Result<ndb::SubnodeEntry> WriteTableSubnode(ndb::BlockWriter& writer, ndb::Nid nid,
                                            const TableContextBuilder& tc);

}  // namespace pst::ltp
