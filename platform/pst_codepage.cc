#include "platform/pst_codepage.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "pst/messaging/property_access.h"
#include "pst/messaging/text.h"

namespace quillmar::platform::pst_session {
namespace {

using pst::ndb::Nid;

// Bounds of the sample: the folders walked and the messages read.
constexpr size_t kMaxFolders = 512;
constexpr size_t kMaxMessages = 256;
constexpr size_t kMaxMessagesPerFolder = 16;

// Windows code pages tried for folder names, Western first; among the East
// Asian ones Japanese before Chinese, as a Japanese name (with kana) also
// fits GBK but not the reverse.
constexpr uint32_t kNameCodepages[] = {1252, 1250, 1251, 1253, 1254, 1257, 1255,
                                       1256, 874,  1258, 932,  949,  936,  950};

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Characters of the names a code page cannot hold (SIZE_MAX: no converter).
size_t Lost(const std::vector<std::string>& names, uint32_t codepage) {
  size_t lost = 0;
  for (const std::string& name : names) {
    auto encoded = pst::messaging::EncodeCodepage(pst::messaging::Utf8ToUtf16Le(name), codepage);
    if (!encoded.ok()) return SIZE_MAX;
    lost += encoded->replaced;
  }
  return lost;
}

}  // namespace

uint32_t ChooseCodepage(const pst::messaging::Store& store) {
  std::map<uint32_t, size_t> votes;
  std::vector<std::string> names;  // non-ASCII folder names (Unicode stores)
  size_t messages = 0;

  auto top = store.IpmSubtreeNid();
  std::deque<Nid> pending{top.ok() ? *top : pst::ndb::kNidRootFolder};
  size_t folders = 0;
  while (!pending.empty() && folders < kMaxFolders) {
    const Nid nid = pending.front();
    pending.pop_front();
    ++folders;
    auto folder = store.OpenFolder(nid);
    if (!folder.ok() || folder->is_search_folder()) continue;
    if (store.is_unicode()) {
      auto name = folder->DisplayName();
      if (name.ok() && !IsAscii(*name)) names.push_back(*name);
    }
    if (messages < kMaxMessages) {
      auto ids = folder->MessageNids();
      for (size_t i = 0; ids.ok() && i < ids->size() && i < kMaxMessagesPerFolder && messages < kMaxMessages; ++i) {
        ++messages;
        auto message = store.OpenMessage((*ids)[i]);
        if (!message.ok()) continue;
        const uint32_t codepage = pst::messaging::CodepageOf(message->properties(), 0);
        if (codepage != 0) ++votes[codepage];
      }
    }
    auto children = folder->SubfolderNids();
    if (children.ok()) pending.insert(pending.end(), children->begin(), children->end());
  }

  uint32_t voted = 0;
  size_t most = 0;
  for (const auto& [codepage, count] : votes) {
    if (count > most) {
      voted = codepage;
      most = count;
    }
  }
  if (names.empty()) return voted ? voted : pst::messaging::kDefaultCodepage;
  if (voted && Lost(names, voted) == 0) return voted;

  uint32_t best = voted ? voted : pst::messaging::kDefaultCodepage;
  size_t best_lost = Lost(names, best);
  for (uint32_t codepage : kNameCodepages) {
    const size_t lost = Lost(names, codepage);
    if (lost < best_lost) {
      best = codepage;
      best_lost = lost;
    }
  }
  return best;
}

}  // namespace quillmar::platform::pst_session
