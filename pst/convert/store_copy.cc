#include "pst/convert/store_copy.h"

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::convert {
namespace {

// EntryID properties of the store object that name special folders which
// the copy brings along. The IPM subtree (0x35E0) and the search root
// (0x35E7) stay the target's own.
constexpr uint16_t kStoreRoleProperties[] = {
    0x35E2,  // PidTagIpmOutboxEntryId
    0x35E3,  // PidTagIpmWastebasketEntryId
    0x35E4,  // PidTagIpmSentMailEntryId
    0x35E5,  // PidTagViewsEntryId
    0x35E6,  // PidTagCommonViewsEntryId
};

// EntryID properties of the root folder (and the Inbox) naming the
// Calendar, Contacts, Journal, Notes, Tasks, Reminders and Drafts folders.
constexpr uint16_t kRootRoleProperties[] = {0x36D0, 0x36D1, 0x36D2, 0x36D3, 0x36D4, 0x36D5, 0x36D6, 0x36D7};
constexpr uint16_t kAdditionalRenEntryIds = 0x36D8;  // multi-valued EntryIDs

// The target EntryID for a source EntryID, or nullopt if it names a folder
// that was not copied.
std::optional<Bytes> Remap(ByteSpan source_id, const std::map<ndb::Nid, ndb::Nid>& map,
                           const messaging::StoreUpdate& target) {
  auto id = messaging::DecodeEntryId(source_id);
  if (!id) return std::nullopt;
  auto it = map.find(id->nid);
  if (it == map.end()) return std::nullopt;
  return target.EntryIdOf(it->second);
}

Status RemapFolderRoles(const ltp::PropertyContext& source_pc, ndb::Nid target_folder,
                        messaging::StoreUpdate& target, const std::map<ndb::Nid, ndb::Nid>& map) {
  for (uint16_t id : kRootRoleProperties) {
    PST_ASSIGN_OR_RETURN(auto value, messaging::GetBinary(source_pc, id));
    if (!value) continue;
    if (auto mapped = Remap(*value, map, target)) {
      PST_RETURN_IF_ERROR(target.SetFolderProperty(target_folder, ltp::MakeTag(id, ltp::kPtypBinary), *mapped));
    }
  }
  const auto* ren = source_pc.Find(kAdditionalRenEntryIds);
  if (ren && ren->type == ltp::kPtypMultipleBinary) {
    PST_ASSIGN_OR_RETURN(Bytes value, source_pc.ReadValue(*ren));
    if (value.size() >= 4) {
      const uint32_t count = DecodeFixed32(value.data());
      if (count <= (value.size() - 4) / 4) {
        std::vector<Bytes> items;
        bool any = false;
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t begin = DecodeFixed32(value.data() + 4 + 4 * i);
          const uint32_t end = i + 1 < count ? DecodeFixed32(value.data() + 8 + 4 * i)
                                             : static_cast<uint32_t>(value.size());
          if (begin > end || end > value.size()) return Status::Ok();  // malformed: leave it
          auto mapped = Remap(ByteSpan(value).subspan(begin, end - begin), map, target);
          any = any || mapped.has_value();
          items.push_back(mapped.value_or(Bytes()));
        }
        if (any) {
          Bytes out(4 + 4 * items.size());
          EncodeFixed32(out.data(), count);
          for (size_t i = 0; i < items.size(); ++i) {
            EncodeFixed32(out.data() + 4 + 4 * i, static_cast<uint32_t>(out.size()));
            out.insert(out.end(), items[i].begin(), items[i].end());
          }
          PST_RETURN_IF_ERROR(target.SetFolderProperty(
              target_folder, ltp::MakeTag(kAdditionalRenEntryIds, ltp::kPtypMultipleBinary), out));
        }
      }
    }
  }
  return Status::Ok();
}

}  // namespace

Status ApplySpecialFolderRoles(const messaging::Store& source, messaging::StoreUpdate& target,
                               const std::map<ndb::Nid, ndb::Nid>& map) {
  for (uint16_t id : kStoreRoleProperties) {
    PST_ASSIGN_OR_RETURN(auto value, messaging::GetBinary(source.properties(), id));
    if (!value) continue;
    if (auto mapped = Remap(*value, map, target)) {
      PST_RETURN_IF_ERROR(target.SetStoreProperty(ltp::MakeTag(id, ltp::kPtypBinary), *mapped));
    }
  }
  // The root folder's references go to the target's root folder; a copied
  // folder that carries them itself (the Inbox does) gets them remapped too.
  auto root = source.OpenRootFolder();
  if (root.ok()) PST_RETURN_IF_ERROR(RemapFolderRoles(root->properties(), ndb::kNidRootFolder, target, map));
  for (const auto& [source_nid, target_nid] : map) {
    auto folder = source.OpenFolder(source_nid);
    if (!folder.ok()) continue;
    bool has_roles = folder->properties().Find(kAdditionalRenEntryIds) != nullptr;
    for (uint16_t id : kRootRoleProperties) has_roles = has_roles || folder->properties().Find(id);
    if (has_roles) PST_RETURN_IF_ERROR(RemapFolderRoles(folder->properties(), target_nid, target, map));
  }
  return Status::Ok();
}

namespace {

ndb::Nid WastebasketOf(const messaging::Store& store) {
  auto nid = store.FolderNidOf(messaging::kPidIpmWastebasketEntryId);
  return nid.ok() ? *nid : 0;
}

}  // namespace

Status EnsureWastebasket(messaging::StoreWriter& target) {
  PST_RETURN_IF_ERROR(DropRetiredWastebasket(target));
  const messaging::Store& store = target.store();
  const ndb::Nid retired = target.retired_wastebasket();
  const ndb::Nid current = WastebasketOf(store);
  if (current != 0 && current != retired && store.OpenFolder(current).ok()) return Status::Ok();
  PST_ASSIGN_OR_RETURN(ndb::Nid top, store.IpmSubtreeNid());
  const std::string name = "Deleted Items";
  // A copied folder of that name (from a source that did not say which of
  // its folders was Deleted Items) takes the role, and a retired one goes.
  PST_ASSIGN_OR_RETURN(messaging::Folder top_folder, store.OpenFolder(top));
  PST_ASSIGN_OR_RETURN(std::vector<ndb::Nid> children, top_folder.SubfolderNids());
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  for (ndb::Nid child : children) {
    if (child == retired) continue;
    auto folder = store.OpenFolder(child);
    if (folder.ok() && folder->DisplayName().value_or("") == name) {
      PST_RETURN_IF_ERROR(update->SetStoreProperty(
          ltp::MakeTag(messaging::kPidIpmWastebasketEntryId, ltp::kPtypBinary), update->EntryIdOf(child)));
      if (retired != 0 && store.OpenFolder(retired).ok()) PST_RETURN_IF_ERROR(update->DeleteFolder(retired));
      PST_RETURN_IF_ERROR(update->Commit());
      target.set_retired_wastebasket(0);
      return Status::Ok();
    }
  }
  // Nothing took its place: the retired folder keeps the role.
  if (retired != 0 && retired == current && store.OpenFolder(retired).ok()) {
    target.set_retired_wastebasket(0);
    return Status::Ok();
  }
  const bool unicode = target.format() != ndb::Format::kAnsi;
  Bytes value = unicode ? messaging::Utf8ToUtf16Le(name) : Bytes(name.begin(), name.end());
  const ltp::PropTag name_tag = ltp::MakeTag(messaging::kPidDisplayName, unicode ? ltp::kPtypString : ltp::kPtypString8);
  PST_ASSIGN_OR_RETURN(ndb::Nid folder,
                       update->CreateFolder(top, {messaging::PropertyInput::Value(name_tag, std::move(value))}));
  PST_RETURN_IF_ERROR(update->SetStoreProperty(ltp::MakeTag(messaging::kPidIpmWastebasketEntryId, ltp::kPtypBinary),
                                               update->EntryIdOf(folder)));
  return update->Commit();
}

Status RecordNamesCodepage(messaging::StoreWriter& target, uint32_t codepage) {
  auto recorded = messaging::GetInt32(target.store().properties(), messaging::kPidCodePageId);
  if (recorded.ok() && recorded->has_value() && static_cast<uint32_t>(**recorded) == codepage) {
    return Status::Ok();
  }
  Bytes value(4);
  EncodeFixed32(value.data(), codepage);
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  PST_RETURN_IF_ERROR(
      update->SetStoreProperty(ltp::MakeTag(messaging::kPidCodePageId, ltp::kPtypInteger32), std::move(value)));
  return update->Commit();
}

Status CarryPassword(const messaging::Store& source, messaging::StoreWriter& target) {
  // A target with a password of its own keeps it: the mail is protected either way.
  if (!source.has_password() || target.store().has_password()) return Status::Ok();
  const uint32_t crc = source.password_crc();
  Bytes value = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
                 static_cast<uint8_t>(crc >> 24)};
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  PST_RETURN_IF_ERROR(
      update->SetStoreProperty(ltp::MakeTag(messaging::kPidPstPassword, ltp::kPtypInteger32), std::move(value)));
  return update->Commit();
}

Status DeleteSubfolders(messaging::StoreWriter& target, ndb::Nid folder) {
  PST_ASSIGN_OR_RETURN(messaging::Folder parent, target.store().OpenFolder(folder));
  PST_ASSIGN_OR_RETURN(std::vector<ndb::Nid> children, parent.SubfolderNids());
  const ndb::Nid wastebasket = WastebasketOf(target.store());
  std::vector<ndb::Nid> doomed;
  for (ndb::Nid child : children) {
    if (child == wastebasket) {
      target.set_retired_wastebasket(child);
    } else if (child != target.retired_wastebasket()) {
      doomed.push_back(child);
    }
  }
  if (doomed.empty()) return Status::Ok();
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  for (ndb::Nid child : doomed) PST_RETURN_IF_ERROR(update->DeleteFolder(child));
  return update->Commit();
}

Status DeleteFolder(messaging::StoreWriter& target, ndb::Nid folder) {
  if (folder == target.retired_wastebasket()) return Status::NotFound("folder " + Hex(folder) + " is deleted");
  if (folder == WastebasketOf(target.store())) {
    target.set_retired_wastebasket(folder);
    return Status::Ok();
  }
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  PST_RETURN_IF_ERROR(update->DeleteFolder(folder));
  return update->Commit();
}

Status DropRetiredWastebasket(messaging::StoreWriter& target) {
  const ndb::Nid retired = target.retired_wastebasket();
  if (retired == 0 || WastebasketOf(target.store()) == retired) return Status::Ok();
  if (target.store().OpenFolder(retired).ok()) {
    PST_ASSIGN_OR_RETURN(auto update, target.Begin());
    PST_RETURN_IF_ERROR(update->DeleteFolder(retired));
    PST_RETURN_IF_ERROR(update->Commit());
  }
  target.set_retired_wastebasket(0);
  return Status::Ok();
}

Result<ndb::Nid> CopyFolderTree(const messaging::Store& source, ndb::Nid source_folder,
                                messaging::StoreWriter& target, ndb::Nid target_parent,
                                const CopyOptions& options, CopyReport* report,
                                std::map<ndb::Nid, ndb::Nid>* folder_map) {
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  const bool unicode_target = target.format() != ndb::Format::kAnsi;
  FolderCopier copier(source, *update, unicode_target, options, report);
  PST_ASSIGN_OR_RETURN(ndb::Nid copy, copier.CopyFolder(source_folder, target_parent));
  std::map<ndb::Nid, ndb::Nid> map = *folder_map;
  map.insert(report->folder_map.begin(), report->folder_map.end());
  PST_RETURN_IF_ERROR(ApplySpecialFolderRoles(source, *update, map));
  PST_RETURN_IF_ERROR(update->Commit());
  *folder_map = std::move(map);
  // The copy may have taken over Deleted Items. Should dropping the old one
  // fail, the store is still sound and EnsureWastebasket tries again.
  (void)DropRetiredWastebasket(target);
  return copy;
}

Status CopyFolderContents(const messaging::Store& source, ndb::Nid source_folder,
                          messaging::StoreWriter& target, ndb::Nid target_folder,
                          const CopyOptions& options, CopyReport* report) {
  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  const bool unicode_target = target.format() != ndb::Format::kAnsi;
  FolderCopier copier(source, *update, unicode_target, options, report);
  PST_RETURN_IF_ERROR(copier.CopyContents(source_folder, target_folder));
  return update->Commit();
}

}  // namespace pst::convert
