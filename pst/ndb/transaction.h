// Updating a store: a Transaction collects new blocks and node changes; the
// header written at Commit is the single point where the store moves from
// the old state to the new one. A process killed at any moment leaves a file
// that opens as it was before the transaction or as it is after it.
#pragma once

#include <cstdint>
#include <memory>

#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/database.h"

namespace pst::ndb {

class Transaction : public BlockWriter {
 public:
  // Inserts or replaces a node. The NBT entry takes over the block
  // references of entry.data_bid and entry.subnode_bid; a replaced node's
  // references are released.
  virtual Status PutNode(const NodeEntry& entry) = 0;
  // Removes a node and releases its data and subnode trees.
  virtual Status DeleteNode(Nid nid) = 0;

  // Raises the NID counter of a type to at least `index`, so that nodes made
  // with another type's NID index (a folder's tables share its index) are
  // never handed out again.
  virtual Status RaiseNidCounter(uint8_t nid_type, uint32_t index) = 0;

  // The node as this transaction sees it (uncommitted changes included).
  virtual Result<NodeEntry> FindNode(Nid nid) const = 0;
  virtual Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const = 0;
  virtual Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                             Bid subnode_bid) const = 0;

  // Makes every change durable, header last. After an error the store on
  // disk is still in its state before the transaction.
  virtual Status Commit() = 0;
  // Drops every change now (as destroying the transaction does): the space
  // it took is given back and the file cut to its committed length. Later
  // calls fail.
  virtual void Abandon() = 0;
};

struct WriteOptions {
  // The file never grows past this many bytes; an allocation that would pass
  // it fails with OutOfSpace (the ANSI format's ceiling, or a test's limit).
  uint64_t max_file_size = UINT64_MAX;
};

class WritableDatabase {
 public:
  // Opens an existing store for update (checks fAMapValid; rebuilds the
  // allocation maps when they are marked invalid).
  static Result<std::unique_ptr<WritableDatabase>> Open(std::shared_ptr<io::WritableFile> file,
                                                        const WriteOptions& options = {});
  // Writes a new, empty node database (header, first allocation map pages,
  // empty NBT and BBT) into an empty file.
  static Result<std::unique_ptr<WritableDatabase>> Create(std::shared_ptr<io::WritableFile> file,
                                                          Format format, CryptMethod crypt,
                                                          const WriteOptions& options = {});

  virtual ~WritableDatabase() = default;

  // The committed state, for reading.
  virtual const Database& database() const = 0;

  // One transaction at a time; ended by Commit or by destroying it (which
  // abandons its changes; the space it took is reclaimed).
  virtual Result<std::unique_ptr<Transaction>> Begin() = 0;
};

}  // namespace pst::ndb
