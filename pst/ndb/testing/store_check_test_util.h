// Test helpers for the store writer: a full consistency check of a store's
// node database and a digest of everything a reader can see in it.
#pragma once

#include <memory>
#include <string>

#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/database.h"

namespace pst::ndb::testing {

struct CheckOptions {
  // Our own stores: the AMaps mark exactly the pages and blocks in use, and
  // every block's cRef is its reference count + 1. Stores from other
  // writers only need the maps to cover what is in use.
  bool exact = true;
};

// Checks the header (ibFileEof = file size, ibAMapLast, cbAMapFree,
// cbPMapFree, fAMapValid, counters above what is in use), every map page,
// every B-tree page and block (no overlaps, inside the file), every node's
// data and subnode trees (readable end to end) and the reference counts.
Status CheckStore(std::shared_ptr<const io::RandomAccessFile> file, const CheckOptions& options = {});

// Every node with its parent, data and subnodes (recursively), as one
// string: equal digests mean a reader sees the same store.
Result<std::string> StoreDigest(const Database& db);

// Sets a block's cRef in the BBT page that holds it (page CRC redone), as
// another writer that counted differently might have left it.
Status PatchRefCount(io::MemoryFile& file, Bid bid, uint16_t ref_count);

// A copy of a file's bytes in a new in-memory file.
std::shared_ptr<io::MemoryFile> CopyOf(const io::MemoryFile& file);
Result<std::shared_ptr<io::MemoryFile>> LoadFile(const std::string& path);

}  // namespace pst::ndb::testing
