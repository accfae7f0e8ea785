#include "pst/convert/tree_copy.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "pst/base/hex.h"
#include "pst/convert/store_copy.h"
#include "pst/ltp/table_context_builder.h"

namespace pst::convert {
namespace {

constexpr int kMaxFolderDepth = 256;

// Where a report stood before a commit, so that what a rolled-back commit
// added can be taken out again.
struct ReportMark {
  CopyProgress done;
  uint64_t fai_messages, embedded_messages, objects_declared, recovered, unreadable_messages;
  ConversionCounters strings;
  size_t failures, dropped, replacements, codepages, recovered_notes, unreadable_notes, left_out, continued;
  uint64_t last_continued_messages;
};

ReportMark MarkOf(const CopyReport& r) {
  return {r.done,
          r.fai_messages,
          r.embedded_messages,
          r.objects_declared,
          r.messages_recovered_with_damage,
          r.messages_unreadable,
          r.strings,
          r.failures.size(),
          r.dropped_properties.size(),
          r.replacements.size(),
          r.codepages_declared.size(),
          r.recovered_with_damage.size(),
          r.unreadable.size(),
          r.left_out.size(),
          r.continued.size(),
          r.continued.empty() ? 0 : r.continued.back().messages};
}

void RollBack(const ReportMark& m, CopyReport* r) {
  r->done = m.done;
  r->fai_messages = m.fai_messages;
  r->embedded_messages = m.embedded_messages;
  r->objects_declared = m.objects_declared;
  r->messages_recovered_with_damage = m.recovered;
  r->messages_unreadable = m.unreadable_messages;
  r->strings = m.strings;
  r->failures.resize(m.failures);
  r->dropped_properties.resize(m.dropped);
  r->replacements.resize(m.replacements);
  r->codepages_declared.resize(m.codepages);
  r->recovered_with_damage.resize(m.recovered_notes);
  r->unreadable.resize(m.unreadable_notes);
  r->left_out.resize(m.left_out);
  r->continued.resize(m.continued);
  if (!r->continued.empty()) r->continued.back().messages = m.last_continued_messages;
}

// Copies the notes `r` gained since `m` into `to`.
void CopyNotes(const ReportMark& m, const CopyReport& r, CopyReport* to) {
  auto copy_tail = [](const auto& from, size_t keep, auto& into) {
    into.insert(into.end(), from.begin() + static_cast<std::ptrdiff_t>(keep), from.end());
  };
  copy_tail(r.failures, m.failures, to->failures);
  copy_tail(r.recovered_with_damage, m.recovered_notes, to->recovered_with_damage);
  copy_tail(r.unreadable, m.unreadable_notes, to->unreadable);
}

void AppendNotes(const CopyReport& from, CopyReport* r) {
  r->failures.insert(r->failures.end(), from.failures.begin(), from.failures.end());
  r->recovered_with_damage.insert(r->recovered_with_damage.end(), from.recovered_with_damage.begin(),
                                  from.recovered_with_damage.end());
  r->unreadable.insert(r->unreadable.end(), from.unreadable.begin(), from.unreadable.end());
}

bool EndsCopy(const Status& s) {
  return s.code() == Status::Code::kOutOfSpace || s.code() == Status::Code::kSizeLimit ||
         s.code() == Status::Code::kCancelled || s.code() == Status::Code::kIOError;
}

}  // namespace

struct TreeCopy::Listings {
  messaging::Folder folder;
  FolderCopier::MessageListing messages;
  FolderCopier::MessageListing fai_messages;
};

TreeCopy::TreeCopy(const messaging::Store& source, ndb::Nid folder, bool mail_only, const CopyOptions& options,
                   const CommitLimits& limits)
    : source_(source), mail_only_(mail_only), options_(options), limits_(limits) {
  nodes_.push_back(Node{folder, 0, 0, NodeState::kNew, false, 0, ""});
  seen_.Insert(folder, 0);
}

TreeCopy::~TreeCopy() = default;

ndb::Nid TreeCopy::top_copy() const {
  if (mail_only_) return 0;
  return nodes_[0].copy;
}

CopyReport TreeCopy::TakeReport() {
  CopyReport out = std::move(report_);
  report_ = CopyReport();
  // Kept here, where a message listed twice is still copied once; a
  // million ids are 4 to 8 MB, too many to copy into each report.
  std::swap(report_.listed_messages, out.listed_messages);
  return out;
}

IdSet TreeCopy::TakeListedMessages() { return std::exchange(report_.listed_messages, IdSet()); }

std::string TreeCopy::PathOf(size_t index) const {
  std::vector<size_t> chain;
  for (size_t i = index;; i = nodes_[i].parent) {
    chain.push_back(i);
    if (i == 0) break;
  }
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += nodes_[*it].name;
  }
  return path;
}

void TreeCopy::NextNode() {
  cursor_ = Cursor{cursor_.node + 1, kEnter, 0};
  spill_ = Spill();
}

void TreeCopy::AddChildren(size_t node, const std::vector<ndb::Nid>& children) {
  // Copies, not a reference: adding children may move nodes_.
  const int depth = nodes_[node].depth + 1;
  const std::string parent_path = PathOf(node);
  for (ndb::Nid child : children) {
    if (depth > kMaxFolderDepth) {
      report_.failures.push_back(parent_path + ": folder " + Hex(child) + ": the folder tree is deeper than " +
                                 std::to_string(kMaxFolderDepth));
      continue;
    }
    if (!seen_.Insert(child, 0)) {
      report_.failures.push_back(parent_path + ": folder " + Hex(child) + " is listed twice in the folder tree");
      continue;
    }
    nodes_.push_back(Node{child, static_cast<uint32_t>(node), static_cast<uint16_t>(depth), NodeState::kNew, false, 0, ""});
  }
}

bool TreeCopy::Enter(size_t index) {
  Node& node = nodes_[index];
  if (node.state != NodeState::kNew) return node.state == NodeState::kListed;
  if (index != 0 && nodes_[node.parent].state == NodeState::kPassedOver) {
    node.state = NodeState::kPassedOver;  // below a folder that was not copied
    return false;
  }
  const std::string parent_path = index == 0 ? "" : PathOf(node.parent);
  auto opened = source_.OpenFolder(node.nid);
  if (!opened.ok()) {
    report_.failures.push_back((parent_path.empty() ? "" : parent_path + ": ") + "folder " + Hex(node.nid) + ": " +
                               opened.status().ToString());
    if (options_.salvage) report_.unreadable.push_back({parent_path, "folder " + Hex(node.nid), "", opened.status().ToString()});
    node.state = NodeState::kPassedOver;
    return false;
  }
  node.name = opened->DisplayName().value_or("");
  const std::string path = PathOf(index);
  if (opened->is_search_folder()) {
    report_.failures.push_back(path + ": search folder " + Hex(node.nid) +
                               " not copied (its results are kept by other folders)");
    node.state = NodeState::kPassedOver;
    return false;
  }
  auto listings = std::make_unique<Listings>(Listings{std::move(opened).value(), {}, {}});
  listings->messages = copier_->ListMessages(listings->folder, false, path);
  listings->fai_messages = copier_->ListMessages(listings->folder, true, path);
  if (!mail_only_) AddChildren(index, copier_->Subfolders(listings->folder, path));
  listings_[index] = std::move(listings);
  nodes_[index].state = NodeState::kListed;
  return true;
}

Result<ndb::Nid> TreeCopy::CopyOf(size_t index, uint64_t* folders) {
  if (nodes_[index].copy != 0) return nodes_[index].copy;
  if (auto it = piece_copies_.find(index); it != piece_copies_.end()) return it->second;
  ndb::Nid parent = target_parent_;
  if (index != 0) {
    PST_ASSIGN_OR_RETURN(parent, PlaceUnder(nodes_[index].parent, folders));
  }
  const Node& node = nodes_[index];
  ndb::Nid copy = 0;
  if (auto it = listings_.find(index); it != listings_.end()) {
    PST_ASSIGN_OR_RETURN(copy, copier_->CreateFolderCopy(it->second->folder, parent, PathOf(index)));
  } else {
    // A folder on the way to the current one, made anew in another target.
    PST_ASSIGN_OR_RETURN(messaging::Folder folder, source_.OpenFolder(node.nid));
    PST_ASSIGN_OR_RETURN(copy, copier_->CreateFolderCopy(folder, parent, PathOf(index)));
  }
  piece_copies_[index] = copy;
  if (index != 0) Placed(nodes_[index].parent);
  ++*folders;
  return copy;
}

Result<ndb::Nid> TreeCopy::PlaceUnder(size_t parent, uint64_t* folders) {
  PST_ASSIGN_OR_RETURN(ndb::Nid copy, CopyOf(parent, folders));
  subfolder_spills_before_.try_emplace(parent, subfolder_spills_.count(parent)
                                                   ? std::optional(subfolder_spills_.at(parent))
                                                   : std::nullopt);
  auto it = subfolder_spills_.find(parent);
  if (it == subfolder_spills_.end()) {
    PST_ASSIGN_OR_RETURN(uint64_t rows_left, update_->SubfoldersLeft(copy));
    it = subfolder_spills_.emplace(parent, SubfolderSpill{copy, rows_left, 1, ""}).first;
  }
  if (it->second.rows_left > 0) return it->second.folder;
  // The copy's hierarchy table is full: the rest of its subfolders go into
  // "Name (2)" beside it (map iterators outlive the insertions below).
  ndb::Nid beside = target_parent_;
  if (parent != 0) {
    PST_ASSIGN_OR_RETURN(beside, PlaceUnder(nodes_[parent].parent, folders));
  }
  const int number = it->second.number + 1;
  PST_ASSIGN_OR_RETURN(messaging::Folder source_folder, source_.OpenFolder(nodes_[parent].nid));
  PST_ASSIGN_OR_RETURN(ndb::Nid next, CreateContinuation(parent, source_folder, beside, number, folders));
  if (parent != 0) Placed(nodes_[parent].parent);
  PST_ASSIGN_OR_RETURN(uint64_t rows_left, update_->SubfoldersLeft(next));
  it->second = SubfolderSpill{next, rows_left, number, report_.continued.back().name};
  return next;
}

Result<ndb::Nid> TreeCopy::CreateContinuation(size_t index, const messaging::Folder& source, ndb::Nid beside,
                                              int number, uint64_t* folders) {
  const Node& node = nodes_[index];
  const std::string name = node.name + " (" + std::to_string(number) + ")";
  const std::string path = PathOf(index);
  PST_ASSIGN_OR_RETURN(ndb::Nid next, copier_->CreateFolderCopy(source, beside, path, name));
  ++*folders;
  report_.continued.push_back({path, name, 0, 0});
  return next;
}

ContinuationFolder& TreeCopy::ContinuedEntry(size_t index, const std::string& name) {
  // Mostly the last entry. A report taken since (an output that filled up)
  // holds none: the count goes on in a new one, added to the first when
  // the parts are put together.
  std::optional<std::string> path;
  for (auto it = report_.continued.rbegin(); it != report_.continued.rend(); ++it) {
    if (it->name != name) continue;
    if (!path) path = PathOf(index);
    if (it->folder == *path) return *it;
  }
  report_.continued.push_back({path ? *path : PathOf(index), name, 0, 0, true});
  return report_.continued.back();
}

void TreeCopy::Placed(size_t parent) {
  SubfolderSpill& spill = subfolder_spills_.at(parent);
  if (spill.rows_left > 0) --spill.rows_left;
  if (spill.number > 1) ++ContinuedEntry(parent, spill.name).subfolders;
}

Status TreeCopy::CopyNextMessage(messaging::StoreUpdate& update, uint64_t* messages, uint64_t* folders) {
  const size_t index = cursor_.node;
  const bool associated = cursor_.phase == kFaiMessages;
  Listings& listings = *listings_.at(index);
  const FolderCopier::MessageListing& listing = associated ? listings.fai_messages : listings.messages;
  if (cursor_.index >= listing.size()) {
    if (associated) {
      NextNode();
    } else {
      cursor_.phase = kFaiMessages;
      cursor_.index = 0;
    }
    return Status::Ok();
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid copy, CopyOf(index, folders));
  if (!spill_.active || spill_.node != index || spill_.associated != associated) {
    PST_ASSIGN_OR_RETURN(uint64_t rows_left, update.RowsLeft(copy, associated));
    spill_ = Spill{true, index, associated, copy, rows_left, 1, ""};
  }
  if (spill_.rows_left == 0) {
    // The table is full: the rest goes into a folder beside the copy (or,
    // for mail copied into a folder of the target, inside it).
    const Node& node = nodes_[index];
    ndb::Nid beside = copy;
    const bool placed = !mail_only_ && index != 0;
    if (!mail_only_) {
      beside = target_parent_;
      if (placed) {
        PST_ASSIGN_OR_RETURN(beside, PlaceUnder(node.parent, folders));
      }
    }
    PST_ASSIGN_OR_RETURN(ndb::Nid next, CreateContinuation(index, listings.folder, beside, spill_.number + 1, folders));
    if (placed) Placed(node.parent);
    PST_ASSIGN_OR_RETURN(uint64_t rows_left, update.RowsLeft(next, associated));
    spill_ = Spill{true, index, associated, next, rows_left, spill_.number + 1, report_.continued.back().name};
  }
  const uint64_t copied_before = report_.done.messages;
  PST_RETURN_IF_ERROR(copier_->CopyListedMessage(listing, cursor_.index, spill_.folder, associated, PathOf(index)));
  if (report_.done.messages != copied_before) {
    --spill_.rows_left;
    if (spill_.number > 1) ++ContinuedEntry(index, spill_.name).messages;
  }
  ++cursor_.index;
  ++*messages;
  return Status::Ok();
}

Status TreeCopy::Step(messaging::StoreUpdate& update, uint64_t* messages, uint64_t* folders) {
  if (cursor_.phase != kEnter) return CopyNextMessage(update, messages, folders);
  const ReportMark before = MarkOf(report_);
  const size_t index = cursor_.node;
  const bool listed = Enter(index);
  // What listing found is kept whether or not this commit is.
  CopyNotes(before, report_, &listing_notes_);
  if (!listed) {
    NextNode();
    return Status::Ok();
  }
  auto copy = CopyOf(index, folders);
  if (!copy.ok()) {
    if (EndsCopy(copy.status()) || index == 0) return copy.status();
    // Passed over with all below it, as when it cannot be read; what it
    // lists is left to RecoverOrphans.
    const Node& node = nodes_[index];
    report_.failures.push_back(PathOf(node.parent) + ": folder " + Hex(node.nid) + ": " +
                               copy.status().ToString());
    listing_notes_.failures.push_back(report_.failures.back());
    for (const auto* listing : {&listings_.at(index)->messages, &listings_.at(index)->fai_messages}) {
      for (size_t i = 0; i < listing->size(); ++i) {
        auto id = listing->IdAt(i);  // a sound table keeps no ids: read again
        if (id.ok()) report_.listed_messages.Erase(*id);
      }
    }
    nodes_[index].state = NodeState::kPassedOver;
    NextNode();
    return Status::Ok();
  }
  cursor_.phase = kMessages;
  cursor_.index = 0;
  return Status::Ok();
}

Status TreeCopy::Piece() {
  PST_ASSIGN_OR_RETURN(auto update, target_->Begin());
  update_ = update.get();
  if (!copier_) {
    copier_ = std::make_unique<FolderCopier>(source_, *update, target_->format() != ndb::Format::kAnsi, options_,
                                             &report_);
  } else {
    copier_->Retarget(*update);
  }
  const ReportMark mark = MarkOf(report_);
  const Cursor start = cursor_;
  const Spill spill_start = spill_;
  piece_copies_.clear();
  subfolder_spills_before_.clear();
  listing_notes_ = CopyReport();
  uint64_t messages = 0;
  uint64_t folders = 0;
  uint64_t steps = 0;
  const uint64_t bytes_before = report_.done.bytes;
  // Each commit writes the tables of the folder being filled whole, so a
  // folder of n messages copied in pieces of a fixed size costs n^2 row
  // writes; pieces an eighth of what the folder holds by then keep it near
  // 9n. But a piece's rows are held until its commit: past 131,072 messages
  // (some 110 bytes of memory each where the rows are short) a piece grows
  // no more, and long rows end it sooner (held_row_bytes), so what a commit
  // holds stays bounded while the writes of a folder beyond 1,048,576
  // messages grow again as n^2. An ANSI table holds 65,535 rows, so there a
  // piece past half of that saves few writes and is not made.
  constexpr uint64_t kMaxBigFolderPiece = 131072;
  const uint64_t piece_cap =
      std::min<uint64_t>(kMaxBigFolderPiece, ltp::TableContextBuilder::MaxRows(target_->format()) / 2);
  const uint64_t message_limit =
      std::max<uint64_t>(limits_.messages, std::min<uint64_t>(cursor_.index / 8, piece_cap));
  Status s;
  while (s.ok() && !done() && steps < max_steps_ && messages < message_limit && folders < limits_.folders &&
         report_.done.bytes - bytes_before < limits_.bytes && update->held_row_bytes() < limits_.held_row_bytes) {
    s = Step(*update, &messages, &folders);
    ++steps;
  }
  if (s.ok()) s = update->Commit();
  if (!s.ok()) {
    RollBack(mark, &report_);
    AppendNotes(listing_notes_, &report_);
    for (const auto& [index, copy] : piece_copies_) report_.folder_map.erase(nodes_[index].nid);
    piece_copies_.clear();
    cursor_ = start;
    spill_ = spill_start;
    for (const auto& [parent, before] : subfolder_spills_before_) {
      if (before) {
        subfolder_spills_[parent] = *before;
      } else {
        subfolder_spills_.erase(parent);
      }
    }
    subfolder_spills_before_.clear();
    if (s.IsSizeLimit() && steps > 1) {
      // Try again with half as much: the output is nearly full.
      max_steps_ = steps / 2;
      return Status::Ok();
    }
    return s;
  }
  if (!piece_copies_.empty()) roles_due_ = true;
  for (const auto& [index, copy] : piece_copies_) {
    nodes_[index].copied = true;
    nodes_[index].copy = copy;
  }
  wrote_ = wrote_ || messages + folders > 0;
  piece_copies_.clear();
  // Listings behind the cursor are no longer needed, nor the places of
  // parents whose subfolders are all made (breadth first: those before the
  // current node's parent).
  while (!listings_.empty() && listings_.begin()->first < cursor_.node) listings_.erase(listings_.begin());
  if (!done()) {
    const size_t parent = nodes_[cursor_.node].parent;
    for (auto it = subfolder_spills_.begin(); it != subfolder_spills_.end() && it->first < parent;) {
      // A continued one is kept: its table's rows alone cannot tell where it went on.
      it = it->second.number > 1 ? std::next(it) : subfolder_spills_.erase(it);
    }
  }
  return Status::Ok();
}

Status TreeCopy::ApplyRoles(const std::map<ndb::Nid, ndb::Nid>& earlier) {
  if (!roles_due_ || mail_only_) return Status::Ok();
  roles_due_ = false;
  std::map<ndb::Nid, ndb::Nid> map = earlier;
  for (const Node& node : nodes_) {
    if (node.copy != 0) map[node.nid] = node.copy;
  }
  PST_ASSIGN_OR_RETURN(auto update, target_->Begin());
  PST_RETURN_IF_ERROR(ApplySpecialFolderRoles(source_, *update, map));
  PST_RETURN_IF_ERROR(update->Commit());
  // A copy may have taken over Deleted Items; should dropping the old one
  // fail, the store is still sound and EnsureWastebasket tries again.
  (void)DropRetiredWastebasket(*target_);
  return Status::Ok();
}

void TreeCopy::StartTarget(messaging::StoreWriter& target, ndb::Nid target_parent) {
  target_ = &target;
  target_parent_ = target_parent;
  for (Node& node : nodes_) node.copy = 0;
  if (mail_only_) nodes_[0].copy = target_parent;
  spill_ = Spill();
  subfolder_spills_.clear();
  max_steps_ = UINT64_MAX;
  wrote_ = false;
  roles_due_ = false;
}

Status TreeCopy::CopyInto(const std::map<ndb::Nid, ndb::Nid>& earlier) {
  if (target_ == nullptr) return Status::InvalidArgument("tree copy: no target");
  Status s;
  while (s.ok() && !done()) s = Piece();
  Status roles = ApplyRoles(earlier);
  if (!roles.ok()) {
    report_.failures.push_back(PathOf(0) + ": the special-folder roles of its copies: " + roles.ToString());
  }
  return s;
}

void TreeCopy::LeftOut(size_t index, uint64_t messages, uint64_t fai_messages) {
  const Node& node = nodes_[index];
  const bool copied = node.copied || (mail_only_ && index == 0);
  const std::string path = PathOf(index);
  if (!report_.left_out.empty() && report_.left_out.back().folder == path &&
      report_.left_out.back().folder_copied == copied) {
    report_.left_out.back().messages += messages;
    report_.left_out.back().fai_messages += fai_messages;
    return;
  }
  report_.left_out.push_back({path, messages, fai_messages, copied});
  if (!copied) report_.folders_left_out.insert(node.nid);
}

void TreeCopy::SkipNext() {
  if (done()) return;
  if (cursor_.phase == kEnter) return LeaveRest();
  const bool associated = cursor_.phase == kFaiMessages;
  const Listings& listings = *listings_.at(cursor_.node);
  const auto& listing = associated ? listings.fai_messages : listings.messages;
  if (cursor_.index < listing.size()) {
    LeftOut(cursor_.node, associated ? 0 : 1, associated ? 1 : 0);
    ++cursor_.index;
  }
}

void TreeCopy::LeaveRest() {
  for (size_t index = cursor_.node; index < nodes_.size(); ++index) {
    Node& node = nodes_[index];
    if (index == cursor_.node && cursor_.phase != kEnter) {
      const Listings& listings = *listings_.at(index);
      const size_t normal = listings.messages.size();
      const size_t fai = listings.fai_messages.size();
      const bool in_fai = cursor_.phase == kFaiMessages;
      LeftOut(index, in_fai ? 0 : normal - std::min(normal, cursor_.index),
              in_fai ? fai - std::min(fai, cursor_.index) : fai);
      continue;
    }
    if (node.state == NodeState::kPassedOver) continue;
    // Counted, not copied: the tables say how many messages there are.
    auto folder = source_.OpenFolder(node.nid);
    if (!folder.ok()) continue;
    if (node.state == NodeState::kNew) {
      node.name = folder->DisplayName().value_or("");
      node.state = NodeState::kListed;
      // Last: adding children may move nodes_, and with it `node`.
      if (!mail_only_) AddChildren(index, folder->SubfolderNids().value_or(std::vector<ndb::Nid>{}));
    }
    if (folder->is_search_folder()) continue;
    // Its messages are listed (what did not fit is not an orphan).
    auto messages = folder->MessageNids();
    if (messages.ok()) report_.listed_messages.InsertAll(*messages);
    auto fai = folder->OpenAssociatedContentsTable();
    LeftOut(index, messages.ok() ? messages->size() : 0, fai.ok() ? fai->row_count() : 0);
  }
  listings_.clear();
  cursor_ = Cursor{nodes_.size(), kEnter, 0};
}

}  // namespace pst::convert
