// The message-store session over our own engine (pst/).
//
// What it does today: sessions, attaching existing store files of either
// format (opened read-only), the password check of protected stores,
// StoreKind, the visible folder tree, folder names, Remove and Logoff.
// What needs the store writer and the folder copy of the engine, and fails
// with NotSupported until they are there: creating a store where no file
// exists, setting a display name, Delete and CopyTo.
#pragma once

#include <string_view>

#include "platform/session.h"

namespace quillmar::platform {

// The version the engine reports as ClientVersion: it reads and writes the
// store formats of the Outlook releases up to 2007 (major number 12).
inline constexpr std::string_view kPstEngineClientVersion = "12.0.0.1108";

class PstSessionFactory : public SessionFactory {
 public:
  Result<std::shared_ptr<RDOSession>> CreateSession(std::string_view prog_id) override;
};

}  // namespace quillmar::platform
