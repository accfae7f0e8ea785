#include "pst/messaging/codepage_guess.h"

#include <map>

#include "pst/messaging/property_access.h"
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"

namespace pst::messaging {

uint32_t GuessStoreCodepage(const Store& store, uint32_t fallback, size_t sample) {
  std::map<uint32_t, size_t> votes;
  size_t seen = 0;
  WalkOptions options;
  options.include_start = true;
  (void)WalkFolders(
      store, ndb::kNidRootFolder,
      [&](const Folder& folder, const std::vector<std::string>&) {
        // Only the first rows a sample needs are read: a folder may list millions.
        if (folder.is_search_folder()) return Status::Ok();
        auto table = folder.OpenContentsTable();
        if (!table.ok()) return Status::Ok();
        for (size_t row = 0; row < table->row_count(); ++row) {
          if (seen >= sample) return Status::Cancelled("enough messages seen");
          ++seen;
          auto id = table->RowId(row);
          if (!id.ok()) continue;
          auto message = store.OpenMessage(*id);
          if (!message.ok()) continue;
          // 0 as the fallback tells "declares nothing" apart.
          const uint32_t cp = CodepageOf(message->properties(), 0);
          if (cp != 0) ++votes[cp];
        }
        return Status::Ok();
      },
      nullptr, options);
  uint32_t best = fallback;
  size_t best_votes = 0;
  for (const auto& [cp, n] : votes) {
    if (n > best_votes) best = cp, best_votes = n;
  }
  return best;
}

}  // namespace pst::messaging
