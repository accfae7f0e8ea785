// A listing of what a store holds, for telling whether two stores hold the
// same mail: every property of the store object, of each folder of the
// visible tree (by path) and of each message, recipient and attachment
// (embedded messages included), one line each. Named properties are listed
// by name, not by the id a store happens to give them; a store's own record
// key, and the copies of it inside EntryIDs, read as "<store>", so that two
// stores holding the same folders compare equal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/text.h"

namespace pst::messaging::testing_listing {

inline std::string Digest(ByteSpan bytes, ByteSpan record_key) {
  std::string text;
  for (size_t i = 0; i < bytes.size();) {
    if (record_key.size() == 16 && i + 16 <= bytes.size() &&
        std::equal(record_key.begin(), record_key.end(), bytes.begin() + i)) {
      text += "<store>";
      i += 16;
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
    ++i;
  }
  if (text.size() <= 256) return text;
  uint64_t h = 1469598103934665603ull;  // FNV-1a of the whole text
  for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return std::to_string(bytes.size()) + " bytes, fnv " + Hex(h);
}

class Lister {
 public:
  explicit Lister(const Store& store) : store_(store) {
    if (auto key = store.record_key()) record_key_.assign(key->begin(), key->end());
    auto names = store.Names();
    names_ = names.ok() ? *names : nullptr;
  }

  std::vector<std::string> List(const std::vector<uint16_t>& ignored) {
    ignored_ = ignored;
    Properties("store", store_.properties());
    auto top = store_.IpmSubtreeNid();
    if (top.ok()) Folder("", *top, 0);
    return std::move(lines_);
  }

 private:
  std::string TagName(uint16_t id, uint16_t type) const {
    if (id >= 0x8000 && names_) {
      if (const NamedProperty* named = names_->Find(id)) {
        Bytes guid(named->guid.begin(), named->guid.end());
        return "named " + Digest(guid, {}) + (named->is_string ? " \"" + named->NameUtf8() + "\"" : " " + Hex(named->lid)) +
               " type " + Hex(type);
      }
    }
    return Hex(ltp::MakeTag(id, type));
  }

  void Properties(const std::string& where, const ltp::PropertyContext& pc) {
    for (const auto& entry : pc.entries()) {
      if (std::find(ignored_.begin(), ignored_.end(), entry.id) != ignored_.end()) continue;
      std::string value = "(object)";
      if (entry.type != ltp::kPtypObject) {
        auto bytes = pc.ReadValue(entry);
        value = bytes.ok() ? Digest(*bytes, record_key_) : "unreadable: " + bytes.status().ToString();
      }
      lines_.push_back(where + " " + TagName(entry.id, entry.type) + " = " + value);
    }
  }

  void Message(const std::string& where, const messaging::Message& message, int depth) {
    Properties(where, message.properties());
    auto recipients = message.OpenRecipientTable();
    if (recipients.ok() && *recipients) {
      for (size_t row = 0; row < (*recipients)->row_count(); ++row) {
        auto cells = (*recipients)->ReadRow(row);
        if (!cells.ok()) continue;
        for (const auto& cell : *cells) {
          const uint16_t id = ltp::PropIdOf(cell.tag);
          if (id == 0x67F2 || id == 0x67F3) continue;  // the row's id and version
          lines_.push_back(where + " recipient " + std::to_string(row) + " " +
                           TagName(id, ltp::PropTypeOf(cell.tag)) + " = " + Digest(cell.data, record_key_));
        }
      }
    }
    auto attachments = message.AttachmentNids();
    if (!attachments.ok()) return;
    size_t n = 0;
    for (ndb::Nid id : *attachments) {
      const std::string at = where + " attachment " + std::to_string(n++);
      auto attachment = message.OpenAttachment(id);
      if (!attachment.ok()) continue;
      Properties(at, attachment->properties());
      if (depth < 8) {
        auto inner = attachment->OpenEmbeddedMessage();
        if (inner.ok()) Message(at + " embedded", *inner, depth + 1);
      }
    }
  }

  void Folder(const std::string& path, ndb::Nid nid, int depth) {
    auto folder = store_.OpenFolder(nid);
    if (!folder.ok() || depth > 64) return;
    if (!path.empty()) Properties("folder " + path, folder->properties());
    for (bool associated : {false, true}) {
      auto ids = associated ? folder->AssociatedMessageNids() : folder->MessageNids();
      size_t n = 0;
      for (ndb::Nid id : ids.value_or(std::vector<ndb::Nid>())) {
        auto message = store_.OpenMessage(id);
        const std::string where = "folder " + path + (associated ? " fai " : " message ") + std::to_string(n++);
        if (message.ok()) Message(where, *message, 0);
      }
    }
    auto children = folder->SubfolderNids();
    for (ndb::Nid child : children.value_or(std::vector<ndb::Nid>())) {
      auto sub = store_.OpenFolder(child);
      Folder(path + "/" + (sub.ok() ? sub->DisplayName().value_or("?") : "?"), child, depth + 1);
    }
  }

  const Store& store_;
  Bytes record_key_;
  const NameMap* names_ = nullptr;
  std::vector<uint16_t> ignored_;
  std::vector<std::string> lines_;
};

// The listing of `store`, leaving out the properties in `ignored`.
inline std::vector<std::string> ListStore(const Store& store, const std::vector<uint16_t>& ignored = {}) {
  return Lister(store).List(ignored);
}

}  // namespace pst::messaging::testing_listing
