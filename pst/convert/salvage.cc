#include "pst/convert/salvage.h"

#include <set>
#include <unordered_map>
#include <vector>

#include "pst/base/hex.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::convert {
namespace {

constexpr int kMaxAncestry = 256;  // deeper parent chains are treated as cycles
constexpr int kMaxFolderPasses = 64;

// Whether a folder belongs to the mail tree, by its parent links.
class MailTree {
 public:
  MailTree(const messaging::NodeLinks& links, ndb::Nid top, const std::map<ndb::Nid, ndb::Nid>& copied)
      : links_(links), top_(top), copied_(copied) {}

  bool Contains(ndb::Nid folder) {
    std::vector<ndb::Nid> chain;
    bool inside = false;
    ndb::Nid at = folder;
    for (int step = 0;; ++step) {
      if (auto it = known_.find(at); it != known_.end()) {
        inside = it->second;
        break;
      }
      if (at == top_ || copied_.count(at) != 0) {
        inside = true;
        break;
      }
      auto parent = links_.ParentOf(at);
      // A folder the node B-tree has lost belonged somewhere: most likely to
      // the mail (the only part this program copies), so keep what was in it.
      if (!parent) {
        inside = true;
        break;
      }
      if (*parent == at || step >= kMaxAncestry) break;  // the root, or a cycle
      chain.push_back(at);
      at = *parent;
    }
    for (ndb::Nid n : chain) known_[n] = inside;
    known_[folder] = inside;
    return inside;
  }

 private:
  const messaging::NodeLinks& links_;
  ndb::Nid top_;
  const std::map<ndb::Nid, ndb::Nid>& copied_;
  std::unordered_map<ndb::Nid, bool> known_;
};

messaging::PropertyInput NameProperty(const std::string& utf8, bool unicode, uint32_t codepage) {
  if (unicode) {
    return messaging::PropertyInput::Value(ltp::MakeTag(messaging::kPidDisplayName, ltp::kPtypString),
                                           messaging::Utf8ToUtf16Le(utf8));
  }
  auto encoded = messaging::EncodeCodepage(messaging::Utf8ToUtf16Le(utf8), codepage);
  Bytes bytes = encoded.ok() ? encoded->bytes : Bytes(utf8.begin(), utf8.end());
  return messaging::PropertyInput::Value(ltp::MakeTag(messaging::kPidDisplayName, ltp::kPtypString8),
                                         std::move(bytes));
}

}  // namespace

Result<ndb::Nid> RecoverOrphans(const messaging::Store& source, ndb::Nid source_top,
                                messaging::StoreWriter& target, ndb::Nid target_top,
                                const CopyOptions& options, const std::map<ndb::Nid, ndb::Nid>& folder_map,
                                const IdSet& listed_messages, CopyReport* report) {
  // The walk of the node B-tree reads through damage like the copies did.
  ndb::DamageLog walk_log;
  const bool own_log = options.salvage && source.database().damage_log() == nullptr;
  if (own_log) source.database().ReadThroughDamage(&walk_log);
  // Messages a table listed are no orphans: left out of the walk's result,
  // which then holds little more than the folders, also in a store of a
  // million messages.
  auto built = messaging::NodeLinks::Build(source.database(), [&](const messaging::NodeLinks::Link& l) {
    const uint8_t type = ndb::NidTypeOf(l.nid);
    return type != ndb::kNidTypeAssocMessage &&
           !(type == ndb::kNidTypeNormalMessage && listed_messages.Contains(l.nid));
  });
  if (own_log) source.database().ReadThroughDamage(nullptr);
  PST_ASSIGN_OR_RETURN(const messaging::NodeLinks walked, std::move(built));
  const messaging::NodeLinks* links = &walked;
  std::map<ndb::Nid, ndb::Nid> reached = folder_map;
  MailTree tree(*links, source_top, reached);

  std::vector<ndb::Nid> orphan_folders;
  std::map<ndb::Nid, std::vector<ndb::Nid>> orphan_messages;  // by original folder
  // A copied folder whose table was damaged has already taken its children
  // by their parent links; so what names a copied folder (or the top) but
  // was not taken is what its sound table left out on purpose: deleted
  // objects, still listed by older copies of node-index pages.
  auto parent_was_read = [&](ndb::Nid parent) { return parent == source_top || reached.count(parent) != 0; };
  for (const messaging::NodeLinks::Link& l : links->links()) {
    const uint8_t type = ndb::NidTypeOf(l.nid);
    if (type == ndb::kNidTypeNormalFolder && l.nid != source_top && reached.count(l.nid) == 0 &&
        l.parent != l.nid && !parent_was_read(l.parent) && tree.Contains(l.parent)) {
      orphan_folders.push_back(l.nid);
    } else if (type == ndb::kNidTypeNormalMessage && !listed_messages.Contains(l.nid) &&
               !parent_was_read(l.parent) && tree.Contains(l.parent)) {
      orphan_messages[l.parent].push_back(l.nid);
    }
  }
  if (orphan_folders.empty() && orphan_messages.empty()) return ndb::Nid{0};

  PST_ASSIGN_OR_RETURN(auto update, target.Begin());
  const bool unicode = target.format() != ndb::Format::kAnsi;
  CopyReport local;
  local.listed_messages = listed_messages;
  FolderCopier copier(source, *update, unicode, options, &local);
  PST_ASSIGN_OR_RETURN(ndb::Nid recovered,
                       update->CreateFolder(target_top, {NameProperty(kRecoveredItemsName, unicode,
                                                                      options.default_codepage)}));
  // Orphan folders whose parent was reached (or cannot be copied) go first;
  // a folder below one of them comes along with it.
  std::set<ndb::Nid> tried;
  const std::set<ndb::Nid> orphan_set(orphan_folders.begin(), orphan_folders.end());
  for (int pass = 0; pass < kMaxFolderPasses; ++pass) {
    bool progress = false;
    for (ndb::Nid folder : orphan_folders) {
      if (tried.count(folder) != 0 || local.folder_map.count(folder) != 0) continue;
      auto parent = links->ParentOf(folder);
      const bool parent_pending = parent && tried.count(*parent) == 0 && orphan_set.count(*parent) != 0;
      if (parent_pending) continue;
      tried.insert(folder);
      progress = true;
      auto copied = copier.CopyFolder(folder, recovered);
      if (!copied.ok()) {
        if (copied.status().code() == Status::Code::kOutOfSpace ||
            copied.status().code() == Status::Code::kCancelled || copied.status().code() == Status::Code::kIOError) {
          return copied.status();
        }
        local.failures.push_back(std::string(kRecoveredItemsName) + ": folder " + Hex(folder) + ": " +
                                 copied.status().ToString());
      }
    }
    if (!progress) break;
  }
  for (auto& [folder, messages] : orphan_messages) {
    std::string name;
    if (auto opened = source.OpenFolder(folder); opened.ok()) name = opened->DisplayName().value_or("");
    if (name.empty()) name = "Folder " + Hex(folder);
    std::vector<ndb::Nid> left;
    for (ndb::Nid m : messages) {
      if (!local.listed_messages.Contains(m)) left.push_back(m);
    }
    if (left.empty()) continue;
    PST_ASSIGN_OR_RETURN(ndb::Nid sub,
                         update->CreateFolder(recovered, {NameProperty(name, unicode, options.default_codepage)}));
    PST_RETURN_IF_ERROR(copier.CopyMessageList(left, sub, std::string(kRecoveredItemsName) + "/" + name));
  }
  PST_RETURN_IF_ERROR(update->Commit());

  // Into the caller's report, as a folder copy would have added it.
  report->done.folders += local.done.folders;
  report->done.messages += local.done.messages;
  report->done.attachments += local.done.attachments;
  report->done.bytes += local.done.bytes;
  report->fai_messages += local.fai_messages;
  report->embedded_messages += local.embedded_messages;
  report->strings.strings_converted += local.strings.strings_converted;
  report->strings.characters_replaced += local.strings.characters_replaced;
  auto append = [](auto& to, auto& from) { to.insert(to.end(), from.begin(), from.end()); };
  append(report->failures, local.failures);
  append(report->dropped_properties, local.dropped_properties);
  append(report->recovered_with_damage, local.recovered_with_damage);
  append(report->unreadable, local.unreadable);
  report->messages_recovered_with_damage += local.messages_recovered_with_damage;
  report->messages_unreadable += local.messages_unreadable;
  report->folder_map.insert(local.folder_map.begin(), local.folder_map.end());
  report->listed_messages.InsertAll(local.listed_messages);
  return recovered;
}

}  // namespace pst::convert
