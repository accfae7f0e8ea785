// Template column sets as Outlook writes them ([MS-PST] 2.4.4.4.1,
// 2.4.4.5.1, 2.4.4.6.1, 2.4.5.3.1, 2.4.6.1.1 and the stores Outlook made).
// Each list is in column (bit) order; bits 0 and 1 are PidTagLtpRowId and
// PidTagLtpRowVer. Cell positions follow from that order (see
// ltp/table_context_builder.h). 0x001F marks a string column, written as
// PtypString8 in ANSI stores.
#include "pst/messaging/table_templates.h"

#include "pst/base/hex.h"

namespace pst::messaging {
namespace {

using ltp::PropTag;

constexpr PropTag kHierarchy97[] = {0x3001001F, 0x36020003, 0x36030003, 0x360A000B};

constexpr PropTag kHierarchy2007[] = {0x3001001F, 0x36020003, 0x36030003, 0x360A000B,
                                      0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003,
                                      0x3613001F, 0x66350003, 0x66360003};

constexpr PropTag kContents97[] = {0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F,
                                   0x0037001F, 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F,
                                   0x0057000B, 0x0058000B, 0x00360003};

constexpr PropTag kContents2007[] = {
    0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F, 0x0E060040,
    0x00390040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003,
    0x10970003, 0x0070001F, 0x00710102, 0x30130102, 0x65C60003, 0x30080040, 0x0E300102,
    0x0E330014, 0x0E340102, 0x0E3D0102, 0x0E3C0102, 0x0E380003};

constexpr PropTag kAssocContents[] = {0x0E170003, 0x001A001F, 0x0E070003, 0x3001001F,
                                      0x70030003, 0x70040102, 0x70050102, 0x7006001F,
                                      0x70070003, 0x6800001F, 0x6803000B, 0x68051003,
                                      0x682F001F};

constexpr PropTag kSearchContents97[] = {
    0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003, 0x00170003,
    0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F,
    0x0057000B, 0x0058000B, 0x00360003};

constexpr PropTag kSearchContents2007[] = {
    0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003, 0x00170003,
    0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F,
    0x0057000B, 0x0058000B, 0x00360003, 0x0E2A000B, 0x30080040};

constexpr PropTag kAttachments[] = {0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};

constexpr PropTag kRecipients[] = {0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102,
                                   0x3001001F, 0x0C150003, 0x300B0102, 0x0FF90102,
                                   0x0FFE0003, 0x39000003, 0x3A40000B, 0x39FF001F};

constexpr PropTag kReceiveFolders[] = {0x66050003, 0x001A001F};
constexpr PropTag kOutgoingQueue[] = {0x0E140003, 0x0E100003, 0x00390040};
constexpr PropTag kTable6B6[] = {0x0E330014, 0x0E370102, 0x0E380003};
constexpr PropTag kTable6D7[] = {0x0E3E0102, 0x0E310102, 0x0E300102, 0x0E380003,
                                 0x0E340102, 0x0E330014, 0x001A001F};
constexpr PropTag kTable6F8[] = {0x30070040, 0x0E330014};

template <size_t N>
std::vector<PropTag> List(const PropTag (&tags)[N]) {
  return std::vector<PropTag>(tags, tags + N);
}

}  // namespace

TemplateSet TemplateSetFor(ndb::Format format) {
  return format == ndb::Format::kAnsi ? TemplateSet::kOutlook97 : TemplateSet::kOutlook2007;
}

const std::vector<ndb::Nid>& TemplateNids(TemplateSet set) {
  static const std::vector<ndb::Nid> k97 = {
      ndb::kNidHierarchyTableTemplate, ndb::kNidContentsTableTemplate,
      ndb::kNidAssocContentsTableTemplate, ndb::kNidSearchContentsTableTemplate,
      ndb::kNidRecipientTable, ndb::kNidAttachmentTable, kNidOutgoingQueueTable};
  static const std::vector<ndb::Nid> k2007 = {
      ndb::kNidHierarchyTableTemplate, ndb::kNidContentsTableTemplate,
      ndb::kNidAssocContentsTableTemplate, ndb::kNidSearchContentsTableTemplate,
      ndb::kNidRecipientTable, ndb::kNidAttachmentTable, kNidOutgoingQueueTable,
      kNidTemplate6B6, kNidTemplate6D7, kNidTemplate6F8};
  return set == TemplateSet::kOutlook97 ? k97 : k2007;
}

std::vector<PropTag> TemplateColumns(ndb::Nid template_nid, TemplateSet set, ndb::Format format) {
  const bool old = set == TemplateSet::kOutlook97;
  std::vector<PropTag> tags;
  switch (template_nid) {
    case ndb::kNidHierarchyTableTemplate:
      tags = old ? List(kHierarchy97) : List(kHierarchy2007);
      break;
    case ndb::kNidContentsTableTemplate:
      tags = old ? List(kContents97) : List(kContents2007);
      break;
    case ndb::kNidAssocContentsTableTemplate:
      tags = List(kAssocContents);
      break;
    case ndb::kNidSearchContentsTableTemplate:
      tags = old ? List(kSearchContents97) : List(kSearchContents2007);
      break;
    case ndb::kNidAttachmentTable:
      tags = List(kAttachments);
      break;
    case ndb::kNidRecipientTable:
      tags = List(kRecipients);
      break;
    case kNidReceiveFolderTable:
      tags = List(kReceiveFolders);
      break;
    case kNidOutgoingQueueTable:
      tags = List(kOutgoingQueue);
      break;
    case kNidTemplate6B6:
      if (!old) tags = List(kTable6B6);
      break;
    case kNidTemplate6D7:
      if (!old) tags = List(kTable6D7);
      break;
    case kNidTemplate6F8:
      if (!old) tags = List(kTable6F8);
      break;
    default:
      break;
  }
  if (format == ndb::Format::kAnsi) {
    for (PropTag& t : tags) {
      if (ltp::PropTypeOf(t) == ltp::kPtypString) t = ltp::MakeTag(ltp::PropIdOf(t), ltp::kPtypString8);
    }
  }
  return tags;
}

Result<ltp::TableContextBuilder> TemplateTable(ndb::Nid template_nid, ndb::Format format) {
  const std::vector<PropTag> tags =
      TemplateColumns(template_nid, TemplateSetFor(format), format);
  if (tags.empty()) {
    return Status::InvalidArgument("messaging: " + Hex(template_nid) + " is no table template");
  }
  ltp::TableContextBuilder table(format);
  PST_RETURN_IF_ERROR(table.AddColumns(tags));
  return table;
}

}  // namespace pst::messaging
