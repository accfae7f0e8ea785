// Salvage on real stores damaged in memory, one layer at a time: what a
// conversion still carries, and what its report says about it. Each copy is
// converted as the CLI does (the top folder's children, its own messages,
// then the orphans) and the output must always be sound.
#include "pst/convert/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "pst/check/check.h"
#include "pst/check/testing/store_editor.h"
#include "pst/convert/conversion.h"
#include "pst/convert/store_copy.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/store_creator.h"
#include "pst/ndb/block.h"
#include "pst/ndb/damage_log.h"
#include "pst/ndb/database.h"
#include "pst/ndb/subnode_tree.h"

namespace pst::convert {
namespace {

using check::testing::LoadSample;
using check::testing::StoreEditor;

struct Converted {
  Status status;
  CopyReport report;
  uint64_t messages = 0;   // normal messages carried
  uint64_t recovered = 0;  // of those, in "Recovered Items"
  bool sound = false;
  size_t folders_not_copied = 0;
};

uint64_t CountMessages(const messaging::Store& store, ndb::Nid folder, int depth = 0) {
  auto f = store.OpenFolder(folder);
  if (!f.ok() || depth > 16) return 0;
  uint64_t n = f->MessageNids().value_or({}).size();
  for (ndb::Nid child : f->SubfolderNids().value_or({})) n += CountMessages(store, child, depth + 1);
  return n;
}

// Converts as a whole run does: every top-level folder, the top folder's
// own mail, then what no table reached.
Converted Convert(Bytes bytes, bool salvage = true) {
  Converted out;
  auto source = messaging::Store::Open(std::make_shared<io::MemoryFile>(std::move(bytes)));
  if (!source.ok()) {
    out.status = source.status();
    return out;
  }
  auto target_file = std::make_shared<io::MemoryFile>();
  messaging::StoreOptions store_options;
  store_options.format = (*source)->is_unicode() ? ndb::Format::kAnsi : ndb::Format::kUnicode;
  EXPECT_TRUE(messaging::CreateStore(target_file, store_options).ok());
  auto writer = messaging::StoreWriter::Open(target_file);
  EXPECT_TRUE(writer.ok());
  const ndb::Nid target_top = *(*writer)->store().IpmSubtreeNid();
  EXPECT_TRUE(DeleteSubfolders(**writer, target_top).ok());
  ConversionOptions options;
  options.salvage = salvage;
  Conversion conversion(**source, options);
  out.status = [&]() -> Status {
    PST_ASSIGN_OR_RETURN(ndb::Nid top, (*source)->IpmSubtreeNid());
    PST_ASSIGN_OR_RETURN(messaging::Folder top_folder, (*source)->OpenFolder(top));
    PST_ASSIGN_OR_RETURN(auto children, top_folder.SubfolderNids());
    for (ndb::Nid child : children) (void)conversion.CopyFolder(**source, child, **writer, target_top);
    PST_RETURN_IF_ERROR(conversion.CopyFolderMail(**source, top, **writer, target_top).status());
    PST_RETURN_IF_ERROR(conversion.RecoverOrphans(**source, top, **writer, target_top).status());
    PST_RETURN_IF_ERROR(EnsureWastebasket(**writer));
    out.messages = CountMessages((*writer)->store(), target_top);
    auto target_top_folder = (*writer)->store().OpenFolder(target_top);
    for (ndb::Nid child : target_top_folder->SubfolderNids().value_or({})) {
      auto folder = (*writer)->store().OpenFolder(child);
      if (folder.ok() && folder->DisplayName().value_or("") == kRecoveredItemsName) {
        out.recovered = CountMessages((*writer)->store(), child);
      }
    }
    return Status::Ok();
  }();
  out.report = conversion.report().copied;
  out.folders_not_copied = conversion.report().folders_not_copied.size();
  writer = Status::Cancelled("closed");
  out.sound = check::CheckStore(*target_file).sound();
  return out;
}

bool Noted(const std::vector<SalvageNote>& notes, const std::string& what, const std::string& why) {
  return std::any_of(notes.begin(), notes.end(), [&](const SalvageNote& n) {
    return n.what.find(what) != std::string::npos && n.why.find(why) != std::string::npos;
  });
}

// Overwrites the on-disk image of a block (data, padding and trailer).
void ZeroBlock(StoreEditor& editor, ndb::Bid bid) {
  const ndb::BlockEntry e = editor.Block(bid);
  const uint64_t size = ndb::BlockDiskSize(editor.format(), e.size);
  std::fill_n(editor.bytes().begin() + static_cast<ptrdiff_t>(e.offset), size, 0);
}

// The first message of a folder found by name below the top folder.
struct Place {
  ndb::Nid folder = 0;
  std::vector<ndb::Nid> messages;
};
Place FolderNamed(const Bytes& bytes, const std::string& name) {
  auto store = messaging::Store::Open(std::make_shared<io::MemoryFile>(bytes));
  auto top = (*store)->OpenFolder(*(*store)->IpmSubtreeNid());
  for (ndb::Nid child : top->SubfolderNids().value_or({})) {
    auto f = (*store)->OpenFolder(child);
    if (f.ok() && f->DisplayName().value_or("") == name) return {child, f->MessageNids().value_or({})};
  }
  ADD_FAILURE() << "no folder " << name;
  return {};
}

TEST(Salvage, ABlockWithABadCrcIsReadAsItIsAndReported) {
  // One byte of the body block that all 294 messages share.
  Bytes bytes = LoadSample("ansi-outlook97-passworded-294msgs.pst");
  bytes[61362] ^= 0xFF;
  EXPECT_FALSE(check::CheckStore(io::MemoryFile(bytes)).sound());

  const Converted salvaged = Convert(bytes);
  ASSERT_TRUE(salvaged.status.ok()) << salvaged.status.ToString();
  EXPECT_EQ(salvaged.messages, 294u);
  EXPECT_EQ(salvaged.report.messages_recovered_with_damage, 294u);
  EXPECT_EQ(salvaged.report.messages_unreadable, 0u);
  EXPECT_TRUE(Noted(salvaged.report.recovered_with_damage, "block", "CRC"));
  EXPECT_TRUE(salvaged.sound);

  const Converted plain = Convert(bytes, /*salvage=*/false);
  EXPECT_EQ(plain.messages, 0u);
  EXPECT_EQ(plain.report.messages_unreadable, 294u);
  EXPECT_TRUE(Noted(plain.report.unreadable, "", "CRC"));
}

// Every subnode below a node, at any depth, with the NID of its owner.
void Subnodes(const ndb::Database& db, ndb::Nid owner, ndb::Bid subnode_bid, int depth,
              std::vector<std::pair<ndb::Nid, ndb::SubnodeEntry>>* out) {
  if (subnode_bid == 0 || depth > 4) return;
  (void)ndb::SubnodeTree(db, owner, subnode_bid).ForEach([&](const ndb::SubnodeEntry& e) {
    out->push_back({owner, e});
    Subnodes(db, e.nid, e.subnode_bid, depth + 1, out);
    return Status::Ok();
  });
}

TEST(Salvage, AnUnreadablePartIsLeftOutOfItsMessage) {
  // Three messages of one store, each damaged at a different layer: an
  // attachment's data tree (an XBLOCK zeroed), the subnode of a large
  // property, and the heap of a message's own property context.
  const Bytes original = LoadSample("unicode-no-encryption.pst");
  StoreEditor editor(original);
  auto store = messaging::Store::Open(std::make_shared<io::MemoryFile>(original));
  ASSERT_TRUE(store.ok());
  const Place deleted = FolderNamed(original, "Deleted Items");
  ASSERT_GE(deleted.messages.size(), 4u);
  const ndb::Database& db = (*store)->database();

  bool xblock_zeroed = false;
  for (size_t i = 0; i < deleted.messages.size() && !xblock_zeroed; ++i) {
    const ndb::NodeEntry node = editor.Node(deleted.messages[i]);
    std::vector<std::pair<ndb::Nid, ndb::SubnodeEntry>> subs;
    Subnodes(db, node.nid, node.subnode_bid, 0, &subs);
    for (const auto& [owner, e] : subs) {
      if (ndb::NidTypeOf(owner) == ndb::kNidTypeAttachment && ndb::IsInternalBid(e.data_bid)) {
        ZeroBlock(editor, e.data_bid);
        xblock_zeroed = true;
        break;
      }
    }
  }
  ASSERT_TRUE(xblock_zeroed);

  auto last = (*store)->OpenMessage(deleted.messages.back());
  ASSERT_TRUE(last.ok());
  bool subnode_zeroed = false;
  for (const auto& prop : last->properties().entries()) {
    if (prop.type != ltp::kPtypBinary && prop.type != ltp::kPtypString) continue;
    if (ndb::NidTypeOf(prop.hnid) == ndb::kNidTypeHid) continue;  // on the heap
    const ndb::NodeEntry node = editor.Node(deleted.messages.back());
    auto entry = ndb::SubnodeTree(db, node.nid, node.subnode_bid).Find(prop.hnid);
    ASSERT_TRUE(entry.ok());
    ZeroBlock(editor, entry->data_bid);
    subnode_zeroed = true;
    break;
  }
  ASSERT_TRUE(subnode_zeroed);

  const ndb::Nid broken_heap = deleted.messages[deleted.messages.size() - 2];
  const ndb::Bid pc_block = editor.DataBlocks(editor.Node(broken_heap).data_bid).front();
  Bytes heap = editor.BlockData(pc_block);
  heap[2] = 0;  // bSig: no longer a heap
  editor.SetBlockData(pc_block, heap);

  const Converted c = Convert(editor.bytes());
  ASSERT_TRUE(c.status.ok()) << c.status.ToString();
  EXPECT_TRUE(c.sound);
  EXPECT_EQ(c.messages, deleted.messages.size() - 1);
  EXPECT_EQ(c.report.messages_unreadable, 1u);
  EXPECT_TRUE(Noted(c.report.unreadable, "", "heap"));
  EXPECT_GE(c.report.messages_recovered_with_damage, 2u);
  EXPECT_TRUE(Noted(c.report.recovered_with_damage, "attachment", "left out"));
  EXPECT_TRUE(Noted(c.report.recovered_with_damage, "property", "left out"));
  for (const SalvageNote& n : c.report.recovered_with_damage) {
    EXPECT_EQ(n.folder, "Deleted Items");
    EXPECT_EQ(n.object.rfind("message 0x", 0), 0u) << n.object;
  }
}

TEST(Salvage, AFolderWithADamagedTableGivesUpItsMessagesByTheirParentLinks) {
  // The contents table of the Inbox zeroed: its messages still name it.
  Bytes bytes = LoadSample("unicode-follow-up-flags.pst");
  StoreEditor editor(bytes);
  const Place inbox = FolderNamed(bytes, "Inbox");
  ASSERT_EQ(inbox.messages.size(), 3u);
  ZeroBlock(editor, editor.Node(ndb::WithNidType(inbox.folder, ndb::kNidTypeContentsTable)).data_bid);

  const Converted c = Convert(editor.bytes());
  ASSERT_TRUE(c.status.ok()) << c.status.ToString();
  EXPECT_TRUE(c.sound);
  EXPECT_EQ(c.messages, 10u);
  EXPECT_EQ(c.recovered, 0u);
  EXPECT_TRUE(Noted(c.report.recovered_with_damage, "contents table", "3 messages found by their parent links"));
}

TEST(Salvage, MessagesOfAnUnreadableFolderGoToRecoveredItems) {
  // The Inbox's own property context zeroed: the folder is lost, its three
  // messages are orphans and land in "Recovered Items/Folder 0x...".
  Bytes bytes = LoadSample("unicode-follow-up-flags.pst");
  StoreEditor editor(bytes);
  const Place inbox = FolderNamed(bytes, "Inbox");
  ZeroBlock(editor, editor.Node(inbox.folder).data_bid);

  const Converted c = Convert(editor.bytes());
  ASSERT_TRUE(c.status.ok()) << c.status.ToString();
  EXPECT_TRUE(c.sound);
  EXPECT_EQ(c.messages, 10u);
  EXPECT_EQ(c.recovered, 3u);
  EXPECT_EQ(c.folders_not_copied, 1u);

  // An undamaged store has no orphans, and gets no "Recovered Items".
  const Converted clean = Convert(LoadSample("unicode-follow-up-flags.pst"));
  EXPECT_EQ(clean.messages, 10u);
  EXPECT_EQ(clean.recovered, 0u);
  EXPECT_TRUE(clean.report.recovered_with_damage.empty());
}

TEST(Salvage, DamagedIndexPagesStillGiveUpWhatTheyIndex) {
  const Bytes original = LoadSample("unicode-dfrws2009-forensic.pst");
  const Converted baseline = Convert(original);
  ASSERT_EQ(baseline.messages, 13u);

  // A byte outside the entries of every NBT and BBT page: only the CRCs break.
  StoreEditor editor(original);
  for (bool nodes : {true, false}) {
    for (const auto& [offset, level] : editor.TreePages(nodes)) {
      (void)level;
      editor.bytes()[offset + 480] ^= 0x5A;  // past the last entry slot of a 512-byte page
    }
  }
  const Converted pages = Convert(editor.bytes());
  ASSERT_TRUE(pages.status.ok()) << pages.status.ToString();
  EXPECT_EQ(pages.messages, 13u);
  EXPECT_TRUE(pages.sound);
  EXPECT_TRUE(Noted(pages.report.recovered_with_damage, "block", "CRC"));

  // Every leaf page of the block index zeroed, and the last one of the node
  // index: the scan of the file finds the blocks by their trailers; nodes of
  // the lost page that no older copy of it holds are gone.
  StoreEditor zeroed(original);
  uint64_t last_node_leaf = 0;
  for (const auto& [offset, level] : zeroed.TreePages(true)) {
    if (level == 0 && offset != zeroed.FindLeaf(true, ndb::kNidMessageStore)->page_offset) last_node_leaf = offset;
  }
  ASSERT_NE(last_node_leaf, 0u);
  std::fill_n(zeroed.bytes().begin() + static_cast<ptrdiff_t>(last_node_leaf), 512, 0);
  for (const auto& [offset, level] : zeroed.TreePages(false)) {
    if (level == 0) std::fill_n(zeroed.bytes().begin() + static_cast<ptrdiff_t>(offset), 512, 0);
  }
  // The walk through the damage gives each node once, the scan's included.
  ndb::DamageLog log;
  auto db = ndb::Database::Open(std::make_shared<io::MemoryFile>(zeroed.bytes()), &log);
  ASSERT_TRUE(db.ok()) << db.status().ToString();
  std::set<ndb::Nid> given;
  size_t walked = 0;
  EXPECT_TRUE((*db)->ForEachNode([&](const ndb::NodeEntry& e) {
    EXPECT_TRUE(given.insert(e.nid).second) << "node " << e.nid << " given twice";
    ++walked;
    return Status::Ok();
  }).ok());
  EXPECT_GT(walked, 100u);
  (*db)->ReadThroughDamage(nullptr);

  const Converted lost = Convert(zeroed.bytes());
  ASSERT_TRUE(lost.status.ok()) << lost.status.ToString();
  EXPECT_TRUE(lost.sound);
  EXPECT_GE(lost.messages, 1u);
  EXPECT_TRUE(Noted(lost.report.recovered_with_damage, "block", "found by a scan of the file"));
}

TEST(Salvage, ACutFileGivesUpWhatLiesBeforeTheCut) {
  // Cut at 80 %, the B-tree roots are gone with the end of the file: what
  // the scan finds before the cut is carried, and the rest is named.
  const Bytes original = LoadSample("unicode-enron-13mb.pst");
  const Bytes cut(original.begin(), original.begin() + static_cast<ptrdiff_t>(original.size() * 8 / 10));
  EXPECT_FALSE(check::CheckStore(io::MemoryFile(cut)).readable);
  const Converted c = Convert(cut);
  ASSERT_TRUE(c.status.ok()) << c.status.ToString();
  EXPECT_TRUE(c.sound);
  EXPECT_GE(c.messages, 71u * 6 / 10);
  EXPECT_LT(c.messages, 71u);
  EXPECT_TRUE(Noted(c.report.recovered_with_damage, "block", "scan of the file"));
}

}  // namespace
}  // namespace pst::convert
