// What damage means for the mail, on real stores damaged in memory.
#include "pst/check/mail_damage.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pst/check/testing/store_editor.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/store.h"
#include "pst/ndb/block.h"

namespace pst::check {
namespace {

using testing::LoadSample;

MailDamage Assess(Bytes bytes) { return AssessMail(std::make_shared<io::MemoryFile>(std::move(bytes))); }

TEST(MailDamage, NamesTheFoldersWhoseMessagesOrListsAreHurt) {
  const Bytes flags = LoadSample("unicode-follow-up-flags.pst");
  EXPECT_TRUE(Assess(flags).folders.empty());

  // One byte of the body block all 294 messages share: all damaged, none lost.
  Bytes shared = LoadSample("ansi-outlook97-passworded-294msgs.pst");
  shared[61362] ^= 0xFF;
  uint64_t damaged = 0;
  for (const auto& f : Assess(shared).folders) {
    EXPECT_EQ(f.unreadable, 0u) << f.path;
    damaged += f.damaged;
  }
  EXPECT_EQ(damaged, 294u);

  // The Inbox's contents table zeroed: its list is damaged, its messages are not.
  auto store = messaging::Store::Open(std::make_shared<io::MemoryFile>(flags));
  ASSERT_TRUE(store.ok());
  ndb::Nid inbox = 0;
  for (ndb::Nid child : (*store)->OpenFolder(*(*store)->IpmSubtreeNid())->SubfolderNids().value_or({})) {
    if ((*store)->OpenFolder(child)->DisplayName().value_or("") == "Inbox") inbox = child;
  }
  ASSERT_NE(inbox, 0u);
  testing::StoreEditor editor(flags);
  const ndb::BlockEntry table = editor.Block(editor.Node(ndb::WithNidType(inbox, ndb::kNidTypeContentsTable)).data_bid);
  std::fill_n(editor.bytes().begin() + static_cast<ptrdiff_t>(table.offset),
              ndb::BlockDiskSize(editor.format(), table.size), 0);
  const MailDamage list = Assess(editor.bytes());
  ASSERT_EQ(list.folders.size(), 1u);
  EXPECT_EQ(list.folders[0].path, "Inbox");
  EXPECT_TRUE(list.folders[0].list_damaged);
  EXPECT_EQ(list.folders[0].unreadable + list.folders[0].damaged, 0u);
}

}  // namespace
}  // namespace pst::check
