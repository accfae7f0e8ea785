#include "session/pst_codepage.h"

#include <string>
#include <vector>

#include "pst/messaging/codepage_guess.h"
#include "pst/messaging/text.h"
#include "pst/messaging/walk.h"

namespace quillmar::session::pst_session {
namespace {

// Folders whose names are looked at.
constexpr size_t kMaxFolders = 512;

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
  const uint32_t voted = pst::messaging::GuessStoreCodepage(store, 0);
  if (!store.is_unicode()) return voted ? voted : pst::messaging::kDefaultCodepage;

  // A Unicode store's names are exact: collect those an ANSI copy must hold.
  std::vector<std::string> names;
  size_t folders = 0;
  pst::messaging::WalkOptions options;
  options.include_start = true;
  (void)pst::messaging::WalkFolders(
      store, pst::ndb::kNidRootFolder,
      [&](const pst::messaging::Folder& folder, const std::vector<std::string>&) {
        if (++folders > kMaxFolders) return pst::Status::Cancelled("enough folders seen");
        auto name = folder.DisplayName();
        if (name.ok() && !IsAscii(*name)) names.push_back(*name);
        return pst::Status::Ok();
      },
      nullptr, options);
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

}  // namespace quillmar::session::pst_session
