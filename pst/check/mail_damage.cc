#include "pst/check/mail_damage.h"

#include <algorithm>
#include <set>

#include "pst/messaging/store.h"
#include "pst/ndb/damage_log.h"

namespace pst::check {
namespace {

constexpr int kMaxFolderDepth = 64;
constexpr int kMaxEmbeddingDepth = 8;
constexpr size_t kChunk = 64 * 1024;

class Assessor {
 public:
  explicit Assessor(const messaging::Store& store, ndb::DamageLog* log) : store_(store), log_(log) {}

  void Folder(ndb::Nid nid, const std::string& path, int depth, MailDamage* out) {
    if (depth > kMaxFolderDepth || !visited_.insert(nid).second) return;
    DamagedFolder here;
    here.path = path;
    auto folder = store_.OpenFolder(nid);
    if (!folder.ok()) {
      here.folder_unreadable = true;
      out->folders.push_back(here);
      return;
    }
    const std::string name = depth == 0 ? "" : folder->DisplayName().value_or("");
    here.path = depth <= 1 ? name : path + "/" + name;
    auto ids = folder->MessageNids();
    std::vector<ndb::Nid> messages = ids.value_or({});
    if (!ids.ok() || ListsMissing(messages)) {
      here.list_damaged = true;
      if (auto links = store_.Links(); links.ok()) {
        for (ndb::Nid id : (*links)->ChildrenOf(nid, ndb::kNidTypeNormalMessage)) {
          if (std::find(messages.begin(), messages.end(), id) == messages.end()) messages.push_back(id);
        }
      }
    }
    for (ndb::Nid id : messages) {
      (void)log_->Take();
      auto message = store_.OpenMessage(id);
      if (!message.ok()) {
        ++here.unreadable;
        continue;
      }
      const bool whole = Message(*message, 0);
      if (!whole || !log_->Take().empty()) ++here.damaged;
    }
    auto children = folder->SubfolderNids();  // by parent links when the table is damaged
    if (!children.ok()) here.list_damaged = true;
    if (here.unreadable || here.damaged || here.list_damaged) out->folders.push_back(here);
    for (ndb::Nid child : children.value_or({})) {
      if (ndb::NidTypeOf(child) == ndb::kNidTypeNormalFolder) Folder(child, here.path, depth + 1, out);
    }
  }

 private:
  bool ListsMissing(const std::vector<ndb::Nid>& ids) const {
    return std::any_of(ids.begin(), ids.end(),
                       [&](ndb::Nid id) { return store_.database().FindNode(id).status().IsNotFound(); });
  }

  // True when every part of the message could be read.
  bool Properties(const ltp::PropertyContext& pc) {
    bool whole = true;
    Bytes buf;
    for (const auto& entry : pc.entries()) {
      if (entry.type == ltp::kPtypObject) continue;
      auto stream = pc.OpenValue(entry);
      if (!stream.ok()) {
        whole = false;
        continue;
      }
      for (uint64_t at = 0; at < (*stream)->size(); at += kChunk) {
        buf.resize(static_cast<size_t>(std::min<uint64_t>(kChunk, (*stream)->size() - at)));
        if (!(*stream)->Read(at, buf).ok()) {
          whole = false;
          break;
        }
      }
    }
    return whole;
  }

  bool Message(const messaging::Message& message, int depth) {
    bool whole = Properties(message.properties());
    auto recipients = message.OpenRecipientTable();
    if (!recipients.ok()) {
      whole = false;
    } else if (*recipients) {
      for (size_t row = 0; row < (*recipients)->row_count(); ++row) whole &= (*recipients)->ReadRow(row).ok();
    }
    auto attachments = message.AttachmentNids();
    if (!attachments.ok()) return false;
    for (ndb::Nid id : *attachments) {
      auto attachment = message.OpenAttachment(id);
      if (!attachment.ok()) {
        whole = false;
        continue;
      }
      whole &= Properties(attachment->properties());
      if (attachment->Method().value_or(0) == 5 && depth < kMaxEmbeddingDepth) {  // embedded message
        auto inner = attachment->OpenEmbeddedMessage();
        whole &= inner.ok() && Message(*inner, depth + 1);
      }
    }
    return whole;
  }

  const messaging::Store& store_;
  ndb::DamageLog* log_;
  std::set<ndb::Nid> visited_;
};

}  // namespace

MailDamage AssessMail(std::shared_ptr<const io::RandomAccessFile> file) {
  MailDamage out;
  auto store = messaging::Store::Open(std::move(file));
  if (!store.ok()) {
    out.store_unreadable = true;
    return out;
  }
  auto top = (*store)->IpmSubtreeNid();
  if (!top.ok()) {
    out.store_unreadable = true;
    return out;
  }
  ndb::DamageLog own;
  ndb::DamageLog* log = (*store)->database().damage_log();
  if (log == nullptr) {
    log = &own;
    (*store)->database().ReadThroughDamage(log);
  }
  Assessor(**store, log).Folder(*top, "", 0, &out);
  if (log == &own) (*store)->database().ReadThroughDamage(nullptr);
  return out;
}

}  // namespace pst::check
