// The message-store session over our own engine (pst/).
//
// Attaching: an existing file opens read-only in its own format (either
// PST format, or an OST); where no file exists a new, empty Unicode store is
// created under the display name given ("Personal Folders" otherwise). A
// store switches to writing only at its first change — a new display name,
// a Delete, or a CopyTo or CopyContentsTo into one of its folders — so a
// store that is only read from (the source of a conversion) is never opened
// for writing.
//
// Every change is one committed transaction: a failed or cancelled call
// leaves the store as it was before the call. A copy that went through but
// had to leave objects or properties out still commits what it copied and
// then fails, naming the folder and the reasons.
//
// When a store that was written is removed or its session logs off, its
// Deleted Items reference is made to name an existing folder (a conversion
// deletes the template's own Deleted Items and may bring none).
#pragma once

#include <cstdint>
#include <string_view>

#include "pst/ndb/types.h"
#include "session/session.h"

namespace quillmar::session {

// The version the engine reports as ClientVersion: it reads and writes the
// store formats of the Outlook releases up to 2007 (major number 12).
inline constexpr std::string_view kPstEngineClientVersion = "12.0.0.1108";

struct PstSessionOptions {
  // The size an ANSI store may not grow past while the session writes it.
  uint64_t ansi_max_file_size = pst::ndb::kAnsiMaxFileSize;
};

class PstSessionFactory : public SessionFactory {
 public:
  explicit PstSessionFactory(PstSessionOptions options = {}) : options_(options) {}
  Result<std::shared_ptr<RDOSession>> CreateSession(std::string_view prog_id) override;

 private:
  PstSessionOptions options_;
};

}  // namespace quillmar::session
