// Creating a new, empty personal-folders store: what Outlook writes when it
// makes one. An ANSI store is laid out as Outlook 97-2003 made them (the
// folders, templates and internal nodes of such a store); a Unicode store
// as Outlook 2007 and later make them (with the search folder for junk
// mail, the common-views folder and the larger table templates).
//
// Both hold the store object, the named-property map (no names), the root
// folder, "Top of Personal Folders" with "Deleted Items" as its only
// subfolder, "Search Root", the receive-folder table, the table templates
// and the search queues.
#pragma once

#include <memory>
#include <string>

#include "pst/base/status.h"
#include "pst/io/file.h"
#include "pst/ndb/types.h"

namespace pst::messaging {

struct StoreOptions {
  ndb::Format format = ndb::Format::kUnicode;
  // The store's name (UTF-8), as shown at the top of the folder list.
  std::string display_name = "Personal Folders";
  // Outlook's default: compressible encoding.
  ndb::CryptMethod crypt = ndb::CryptMethod::kPermute;
  // Code page of an ANSI store's 8-bit strings.
  uint32_t codepage = 1252;
};

// Writes a new store into an empty file.
Status CreateStore(std::shared_ptr<io::WritableFile> file, const StoreOptions& options);

// Creates the file (never replacing an existing one) and writes a new store
// into it. The file shows under `path` only once the store is whole, so a
// failure or a killed process leaves nothing (see io::CreateWhole).
Status CreateStore(const std::string& path, const StoreOptions& options);

// Names of the folders a new store holds.
inline constexpr char kTopOfPersonalFolders[] = "Top of Personal Folders";
inline constexpr char kDeletedItems[] = "Deleted Items";
inline constexpr char kSearchRoot[] = "Search Root";

}  // namespace pst::messaging
