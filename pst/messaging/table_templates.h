// The column sets of the tables a store keeps as templates (hierarchy,
// contents, FAI contents, search contents, attachment, recipient, receive
// folder, outgoing queue ...): new folders and messages start their tables
// as copies of these. Two generations exist: the small sets of the stores
// Outlook 97-2003 made, which our ANSI stores follow, and the larger sets of
// Outlook 2007 and later, which our Unicode stores follow.
#pragma once

#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/prop_types.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/ndb/types.h"

namespace pst::messaging {

// Template NIDs besides the ones ndb/types.h names.
constexpr ndb::Nid kNidReceiveFolderTable = 0x62B;
constexpr ndb::Nid kNidOutgoingQueueTable = 0x64C;
constexpr ndb::Nid kNidTemplate6B6 = 0x6B6;
constexpr ndb::Nid kNidTemplate6D7 = 0x6D7;
constexpr ndb::Nid kNidTemplate6F8 = 0x6F8;

enum class TemplateSet {
  kOutlook97,    // ANSI stores
  kOutlook2007,  // Unicode stores
};

TemplateSet TemplateSetFor(ndb::Format format);

// The templates a store of this set holds, in the order they are written.
const std::vector<ndb::Nid>& TemplateNids(TemplateSet set);

// The columns of a template after PidTagLtpRowId and PidTagLtpRowVer, in
// column (bit) order; strings are PtypString in Unicode stores and
// PtypString8 in ANSI stores. Empty for a NID that is no template of the set.
std::vector<ltp::PropTag> TemplateColumns(ndb::Nid template_nid, TemplateSet set,
                                          ndb::Format format);

// An empty table with a template's columns, laid out as Outlook lays them.
Result<ltp::TableContextBuilder> TemplateTable(ndb::Nid template_nid, ndb::Format format);

}  // namespace pst::messaging
