#include "pst/messaging/message.h"

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"

namespace pst::messaging {

Result<Message> Message::Open(std::unique_ptr<ndb::NodeData> node, uint32_t default_codepage) {
  const ndb::Nid nid = node->nid();
  auto pc = ltp::PropertyContext::Open(std::move(node));
  if (!pc.ok()) return pc.status().WithContext("message " + Hex(nid));
  Message message;
  message.props_ = std::make_unique<ltp::PropertyContext>(std::move(pc).value());
  message.default_codepage_ = default_codepage;
  message.codepage_ = CodepageOf(*message.props_, default_codepage);
  return message;
}

Result<std::optional<ltp::TableContext>> Message::OpenOptionalTable(ndb::Nid table_nid) const {
  auto node = props_->node().OpenSubnode(table_nid);
  if (!node.ok()) {
    if (node.status().IsNotFound()) return std::optional<ltp::TableContext>();
    return node.status().WithContext("message " + Hex(nid()) + ", table " + Hex(table_nid));
  }
  auto table = ltp::TableContext::Open(std::move(node).value());
  if (!table.ok()) return table.status().WithContext("message " + Hex(nid()) + ", table " + Hex(table_nid));
  return std::optional<ltp::TableContext>(std::move(table).value());
}

Result<std::optional<ltp::TableContext>> Message::OpenRecipientTable() const {
  return OpenOptionalTable(ndb::kNidRecipientTable);
}

Result<std::optional<ltp::TableContext>> Message::OpenAttachmentTable() const {
  return OpenOptionalTable(ndb::kNidAttachmentTable);
}

Result<std::vector<ndb::Nid>> Message::AttachmentNids() const {
  PST_ASSIGN_OR_RETURN(auto table, OpenAttachmentTable());
  std::vector<ndb::Nid> ids;
  if (!table) return ids;
  ids.reserve(table->row_count());
  for (size_t row = 0; row < table->row_count(); ++row) {
    PST_ASSIGN_OR_RETURN(uint32_t id, table->RowId(row));
    ids.push_back(id);
  }
  return ids;
}

Result<Attachment> Message::OpenAttachment(ndb::Nid attachment_nid) const {
  const std::string where = "attachment " + Hex(attachment_nid) + " of message " + Hex(nid());
  auto node = props_->node().OpenSubnode(attachment_nid);
  if (!node.ok()) return node.status().WithContext(where);
  auto pc = ltp::PropertyContext::Open(std::move(node).value());
  if (!pc.ok()) return pc.status().WithContext(where);
  Attachment attachment;
  attachment.props_ = std::make_unique<ltp::PropertyContext>(std::move(pc).value());
  attachment.default_codepage_ = codepage_;
  return attachment;
}

Result<int32_t> Attachment::Method() const {
  PST_ASSIGN_OR_RETURN(auto method, GetInt32(*props_, kPidAttachMethod));
  return method.value_or(kAttachNone);
}

Result<Message> Attachment::OpenEmbeddedMessage() const {
  const std::string where = "embedded message of attachment " + Hex(nid());
  const auto* entry = props_->Find(kPidAttachDataBinary);
  if (!entry || entry->type != ltp::kPtypObject) {
    return Status::NotFound(where + ": no PidTagAttachDataObject");
  }
  PST_ASSIGN_OR_RETURN(Bytes value, props_->ReadValue(*entry));
  if (value.size() < 4) return Status::Corruption(where + ": object reference of " +
                                                  std::to_string(value.size()) + " bytes");
  const ndb::Nid message_nid = DecodeFixed32(value.data());
  auto node = props_->node().OpenSubnode(message_nid);
  if (!node.ok()) return node.status().WithContext(where);
  return Message::Open(std::move(node).value(), default_codepage_);
}

}  // namespace pst::messaging
