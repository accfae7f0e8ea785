// Recovering what no table reaches. A damaged store can hold folders and
// messages that still read well but that no hierarchy or contents table
// lists any more (the table, or a folder above, is what broke). The parent
// links of the node B-tree still say where they belong: this step finds
// them and copies them into a folder "Recovered Items" in the target's top
// folder, made only when there is something to put in it.
#pragma once

#include <map>

#include "pst/base/id_set.h"
#include "pst/base/result.h"
#include "pst/convert/folder_copier.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"

namespace pst::convert {

inline constexpr const char* kRecoveredItemsName = "Recovered Items";

// Call once, after the folders below the source's top folder (`source_top`)
// and its own messages have been copied. `folder_map` (source -> copy) and
// `listed_messages` are the union of what the earlier copies' reports hold
// (CopyReport::folder_map / listed_messages): they say what was reached.
//
// An orphan is a folder or a normal message that belongs to the mail tree —
// its parent links lead to `source_top` or to a folder that cannot be read —
// whose own parent folder was not copied (it cannot be read, or nothing
// reached it), and that none of those copies reached. (Children of a copied
// folder whose table was damaged were taken by their parent links then;
// children a sound table does not list are deleted leftovers.) Orphan folders are copied whole into
// "Recovered Items"; orphan messages into a subfolder of it named after their
// original folder ("Inbox"), or "Folder 0x8062" when that folder cannot be
// read. Folders outside the mail tree (search roots, views) are no orphans.
//
// One transaction. Returns the NID of "Recovered Items" in the target, or 0
// when there were no orphans (then nothing is written). What was recovered
// and what could not be read goes to `report` as in a folder copy.
Result<ndb::Nid> RecoverOrphans(const messaging::Store& source, ndb::Nid source_top,
                                messaging::StoreWriter& target, ndb::Nid target_top,
                                const CopyOptions& options, const std::map<ndb::Nid, ndb::Nid>& folder_map,
                                const IdSet& listed_messages, CopyReport* report);

}  // namespace pst::convert
