// A folder tree (or the mail one folder holds itself) copied into a target
// store in bounded commits, so that an output too small for all of it is
// filled as far as it goes and the rest can go on into another store:
//  - a commit takes at most CommitLimits' messages, bytes and folders; a
//    commit the target has no room for is rolled back and tried again with
//    half as many steps, down to one message, so a full output is still
//    filled to the message at the cost of a few rolled-back commits;
//  - when even one message does not fit, CopyInto stops with SizeLimit and
//    keeps its place: the caller passes the message over (SkipNext), gives
//    up on the rest (LeaveRest) or goes on into another store (CopyInto
//    again, where the folders on the way are made anew);
//  - a folder copy whose table is full (an ANSI table holds 65,535 rows)
//    gets continuation folders beside it, "Inbox (2)", "Inbox (3)"...,
//    for its messages or for its subfolders;
//  - special-folder roles are given to the copies at the end of each
//    CopyInto, in one small commit.
// Folders are visited breadth first; every folder is copied with its
// messages before the next one.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/base/id_map.h"
#include "pst/base/id_set.h"
#include "pst/base/result.h"
#include "pst/convert/folder_copier.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"

namespace pst::convert {

struct CommitLimits {
  // Normal and FAI; in a big folder up to an eighth of what it holds, but
  // never more than 131,072.
  uint64_t messages = 5000;
  uint64_t bytes = 64ull << 20;   // of property values read from the source
  uint64_t folders = 1000;
  // Of table rows held until the commit (StoreUpdate::held_row_bytes).
  uint64_t held_row_bytes = 16ull << 20;
};

class TreeCopy {
 public:
  // mail_only: copy the mail `folder` holds itself (not its subfolders)
  // into an existing target folder; else `folder` with all below it.
  TreeCopy(const messaging::Store& source, ndb::Nid folder, bool mail_only, const CopyOptions& options,
           const CommitLimits& limits);
  ~TreeCopy();

  // Where the calls to CopyInto that follow write: as a new subfolder of
  // `target_parent`, or (mail_only) into `target_parent` itself. The
  // folders on the way are made anew in each target.
  void StartTarget(messaging::StoreWriter& target, ndb::Nid target_parent);
  // Copies what is left into the target. `earlier`
  // maps source folders that earlier copies put into this target to their
  // copies, for the special-folder roles. Ok when all is copied; SizeLimit
  // when the next message (or folder) does not fit, with nothing of it
  // written. Any other error ends the copy; what was committed stays.
  Status CopyInto(const std::map<ndb::Nid, ndb::Nid>& earlier);

  // After SizeLimit: lists the message that did not fit as left out and
  // passes over it (at a folder that did not fit: LeaveRest).
  void SkipNext();
  // Lists everything not yet copied as left out, by folder; the copy is done.
  void LeaveRest();
  bool done() const { return cursor_.node >= nodes_.size(); }

  // The copy of the top folder in the current target once committed (0 when
  // none, or for mail_only).
  ndb::Nid top_copy() const;
  // Whether anything of this copy was committed into the current target.
  bool wrote_into_target() const { return wrote_; }

  // What was copied and reported since the last call; folder_map holds the
  // copies in the current target. Its listed_messages stay behind, for
  // TakeListedMessages once the copy is over.
  CopyReport TakeReport();
  IdSet TakeListedMessages();

 private:
  enum Phase { kEnter, kMessages, kFaiMessages };
  enum class NodeState : uint8_t { kNew, kListed, kPassedOver };
  // One per folder of the tree, so kept small (fields packed, the name last).
  struct Node {
    ndb::Nid nid = 0;
    uint32_t parent = 0;  // its index in nodes_ (a store holds fewer than 2^27 folders)
    uint16_t depth = 0;
    NodeState state = NodeState::kNew;
    bool copied = false;  // into some target, committed
    ndb::Nid copy = 0;    // its committed copy in the current target
    std::string name;
  };
  struct Cursor {
    size_t node = 0;
    Phase phase = kEnter;
    size_t index = 0;
  };
  // Where the current node's messages go in this target: its copy, or the
  // continuation folder that took over when the copy's table was full.
  struct Spill {
    bool active = false;
    size_t node = 0;
    bool associated = false;
    ndb::Nid folder = 0;
    uint64_t rows_left = 0;
    int number = 1;               // 1: the copy itself; 2: "Name (2)"...
    std::string name;             // number > 1: the continuation's name
  };
  // Where the subfolders of a node go in this target: its copy, until that
  // copy's hierarchy table is full, then continuation folders beside it.
  struct SubfolderSpill {
    ndb::Nid folder = 0;
    uint64_t rows_left = 0;
    int number = 1;
    std::string name;  // number > 1: the continuation's name
  };
  struct Listings;

  Status Piece();
  Status Step(messaging::StoreUpdate& update, uint64_t* messages, uint64_t* folders);
  // Opens, lists and expands a node once; false when it is passed over.
  bool Enter(size_t node);
  Result<ndb::Nid> CopyOf(size_t node, uint64_t* folders);
  // The folder a new subfolder of `parent` goes into; Placed() once made.
  Result<ndb::Nid> PlaceUnder(size_t parent, uint64_t* folders);
  void Placed(size_t parent);
  // The report's entry of node `index`'s continuation folder `name`.
  ContinuationFolder& ContinuedEntry(size_t index, const std::string& name);
  // Makes "Name (number)", the next continuation of `node`'s copy, in
  // `beside`, and lists it last in report_.continued.
  Result<ndb::Nid> CreateContinuation(size_t node, const messaging::Folder& source, ndb::Nid beside, int number,
                                      uint64_t* folders);
  Status CopyNextMessage(messaging::StoreUpdate& update, uint64_t* messages, uint64_t* folders);
  Status ApplyRoles(const std::map<ndb::Nid, ndb::Nid>& earlier);
  // "Top/Inbox/Sub": the names from the top node down. Made when needed,
  // not kept: a tree of 70,000 folders would hold as many paths.
  std::string PathOf(size_t index) const;
  void NextNode();
  void AddChildren(size_t node, const std::vector<ndb::Nid>& children);
  void LeftOut(size_t node, uint64_t messages, uint64_t fai_messages);

  const messaging::Store& source_;
  bool mail_only_;
  CopyOptions options_;
  CommitLimits limits_;
  // Steps (a folder, or a message with the folders it needs) per commit:
  // halved after a commit that did not fit.
  uint64_t max_steps_ = UINT64_MAX;
  CopyReport report_;
  std::unique_ptr<FolderCopier> copier_;
  // Breadth first; nodes_[0] is the top. A deque: a tree of 100,000
  // folders grows it without copying it whole.
  std::deque<Node> nodes_;
  IdMap seen_;  // folders already in nodes_ (a damaged tree may list one twice)
  std::map<size_t, std::unique_ptr<Listings>> listings_;
  Cursor cursor_;
  Spill spill_;
  std::map<size_t, SubfolderSpill> subfolder_spills_;
  // Their values before the open commit (nullopt: none), to roll back to.
  std::map<size_t, std::optional<SubfolderSpill>> subfolder_spills_before_;
  // This target: where the copies are, committed and in the open commit.
  messaging::StoreWriter* target_ = nullptr;
  messaging::StoreUpdate* update_ = nullptr;  // the open commit's
  ndb::Nid target_parent_ = 0;
  std::map<size_t, ndb::Nid> piece_copies_;  // made in the open commit
  bool wrote_ = false;
  bool roles_due_ = false;
  // Report entries listing made in the open commit: they stay if it is rolled back.
  CopyReport listing_notes_;
};

}  // namespace pst::convert
