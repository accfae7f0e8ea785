// A message ([MS-PST] 2.4.5) and its attachments (2.4.6). The message's
// node (top-level, or a subnode of an attachment for an embedded message)
// holds its property context; its subnodes hold:
//   0x692            recipient table (only when there are recipients)
//   0x671            attachment table (only when there are attachments)
//   type 0x05 NIDs   one property context per attachment
//   type 0x1F NIDs   large values and row matrices
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/ndb/node.h"

namespace pst::messaging {

class Attachment;

class Message {
 public:
  static Result<Message> Open(std::unique_ptr<ndb::NodeData> node, uint32_t default_codepage);

  ndb::Nid nid() const { return props_->node().nid(); }
  const ltp::PropertyContext& properties() const { return *props_; }
  // The code page of the message's 8-bit strings.
  uint32_t codepage() const { return codepage_; }

  // nullopt when the message has no such table.
  Result<std::optional<ltp::TableContext>> OpenRecipientTable() const;
  Result<std::optional<ltp::TableContext>> OpenAttachmentTable() const;
  // The attachments' subnode NIDs, in attachment-table order.
  Result<std::vector<ndb::Nid>> AttachmentNids() const;
  Result<Attachment> OpenAttachment(ndb::Nid nid) const;

  Message(Message&&) = default;
  Message& operator=(Message&&) = default;

 private:
  Message() = default;
  Result<std::optional<ltp::TableContext>> OpenOptionalTable(ndb::Nid nid) const;

  std::unique_ptr<ltp::PropertyContext> props_;
  uint32_t codepage_ = 1252;
  uint32_t default_codepage_ = 1252;
};

class Attachment {
 public:
  ndb::Nid nid() const { return props_->node().nid(); }
  const ltp::PropertyContext& properties() const { return *props_; }
  // PidTagAttachMethod; 0 (none) when absent.
  Result<int32_t> Method() const;
  // For an embedded message: the message inside (PidTagAttachDataObject).
  Result<Message> OpenEmbeddedMessage() const;

  Attachment(Attachment&&) = default;
  Attachment& operator=(Attachment&&) = default;

 private:
  friend class Message;
  Attachment() = default;

  std::unique_ptr<ltp::PropertyContext> props_;
  uint32_t default_codepage_ = 1252;
};

}  // namespace pst::messaging
