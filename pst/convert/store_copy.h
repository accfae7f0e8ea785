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

// A store must name an existing Deleted Items folder at every commit. So the
// folder that has that role is not deleted at once: it is retired
// (StoreWriter::retired_wastebasket), and goes in the commit after another
// folder takes the role (a copy of the source's Deleted Items), or when
// EnsureWastebasket finds it still in that role (then it stays). Readers of
// the writer should treat a retired folder as gone.

// Deletes every subfolder of `folder` (with all they hold); one transaction.
Status DeleteSubfolders(messaging::StoreWriter& target, ndb::Nid folder);

// Deletes one folder with all it holds; one transaction.
Status DeleteFolder(messaging::StoreWriter& target, ndb::Nid folder);

// Deletes the retired Deleted Items once another folder has its role.
Status DropRetiredWastebasket(messaging::StoreWriter& target);

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

// Makes sure the store's Deleted Items reference names an existing folder
// that is not retired: a top-level folder named "Deleted Items" (e.g. a copy
// from a source that did not say which of its folders it was) takes the role;
// else a retired one stays in it; else a new "Deleted Items" is made.
Status EnsureWastebasket(messaging::StoreWriter& target);

// Gives the target the source's password (PidTagPstPassword) when the
// source has one the target lacks, so that mail taken out of a protected
// store stays protected; one transaction, and none when nothing changes.
Status CarryPassword(const messaging::Store& source, messaging::StoreWriter& target);

// Records in an ANSI store's PidTagCodePageId the code page its names are
// written in, so that whoever reads it (and converting it back) reads them
// right; one transaction, and none when it already says so.
Status RecordNamesCodepage(messaging::StoreWriter& target, uint32_t codepage);

// Points the target's special-folder references (store object and root
// folder EntryIDs) at the copies of the source's special folders.
Status ApplySpecialFolderRoles(const messaging::Store& source, messaging::StoreUpdate& target,
                               const std::map<ndb::Nid, ndb::Nid>& folder_map);

}  // namespace pst::convert
