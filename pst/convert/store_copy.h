// Store-level steps of a conversion, each one committed transaction: empty
// a folder, and copy one folder tree from a source store into a target
// store (of either format), carrying the special roles of the folders it
// copies (Deleted Items, Sent Items, Calendar, ...) over to their copies.
#pragma once

#include <map>

#include "pst/base/result.h"
#include "pst/convert/folder_copier.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"

namespace pst::convert {

// Deletes every subfolder of `folder` (with all they hold); one transaction.
Status DeleteSubfolders(messaging::StoreWriter& target, ndb::Nid folder);

// Deletes one folder with all it holds; one transaction.
Status DeleteFolder(messaging::StoreWriter& target, ndb::Nid folder);

// Copies `source_folder` with everything below it as a new subfolder of
// `target_parent`, in one transaction. `folder_map` carries source -> copy
// NIDs across calls, so that special-folder references made by earlier
// copies are completed as later folders arrive. On failure the target is
// left as it was before the call.
Result<ndb::Nid> CopyFolderTree(const messaging::Store& source, ndb::Nid source_folder,
                                messaging::StoreWriter& target, ndb::Nid target_parent,
                                const CopyOptions& options, CopyReport* report,
                                std::map<ndb::Nid, ndb::Nid>* folder_map);

// Copies the messages held by `source_folder` itself (not its subfolders)
// into `target_folder`, in one transaction.
Status CopyFolderContents(const messaging::Store& source, ndb::Nid source_folder,
                          messaging::StoreWriter& target, ndb::Nid target_folder,
                          const CopyOptions& options, CopyReport* report);

// Makes sure the store's Deleted Items reference names an existing folder:
// when the folder it names is gone (emptied away and not replaced by a copy
// of the source's), a new "Deleted Items" is made under the top folder.
Status EnsureWastebasket(messaging::StoreWriter& target);

// Gives the target the source's password (PidTagPstPassword) when the
// source has one the target lacks, so that mail taken out of a protected
// store stays protected; one transaction, and none when nothing changes.
Status CarryPassword(const messaging::Store& source, messaging::StoreWriter& target);

// Points the target's special-folder references (store object and root
// folder EntryIDs) at the copies of the source's special folders.
Status ApplySpecialFolderRoles(const messaging::Store& source, messaging::StoreUpdate& target,
                               const std::map<ndb::Nid, ndb::Nid>& folder_map);

}  // namespace pst::convert
