// Damages one message of a store file in place, so that
// message alone cannot be read (its data block fails its CRC check).
// Header-only: a test that uses it links pst_messaging.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "pst/messaging/store.h"

namespace pst::test {

// How DamageFirstMessage damages the message's property block.
enum class MessageDamage {
  kWrongBytes,  // four bytes inside the heap: the block fails its CRC but still decodes
  kUnreadable,  // the heap's header: the message cannot be read at all
};

// Damages the first message of the top-level folder named folder_name.
// False when there is no such message.
inline bool DamageFirstMessage(const std::string& path, const std::string& folder_name,
                               MessageDamage damage = MessageDamage::kWrongBytes) {
  using pst::ndb::Nid;
  uint64_t offset = 0;
  {
    auto store = pst::messaging::Store::OpenPath(path);
    if (!store.ok()) return false;
    auto top = (*store)->OpenFolder((*store)->IpmSubtreeNid().value_or(0));
    if (!top.ok()) return false;
    for (Nid nid : top->SubfolderNids().value_or(std::vector<Nid>())) {
      auto folder = (*store)->OpenFolder(nid);
      if (!folder.ok() || folder->DisplayName().value_or("") != folder_name) continue;
      auto messages = folder->MessageNids();
      if (!messages.ok() || messages->empty()) return false;
      auto node = (*store)->database().FindNode(messages->front());
      if (!node.ok()) return false;
      auto block = (*store)->database().FindBlock(node->data_bid);
      if (!block.ok() || block->size < 16) return false;
      offset = block->offset + (damage == MessageDamage::kWrongBytes ? 8 : 0);
    }
  }
  if (offset == 0) return false;
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write("\xDE\xAD\xBE\xEF", 4);
  return static_cast<bool>(file);
}

}  // namespace pst::test
