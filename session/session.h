// The message-store session: how the tool opens personal-folders files,
// learns their format, empties a folder tree and copies folders between
// stores. The tool sees only these interfaces; the engine-backed session
// (pst/) and the scriptable fake for tests implement them.
//
// Object model, as the tool uses it:
//   SessionFactory --CreateSession("Redemption.RDOSession")--> RDOSession
//   RDOSession --Stores()--> RDOStores --AddPSTStore(path, format, name)--> MessageStore
//   MessageStore --IPMRootFolder()--> MessageFolder --Folders()--> FolderEnumerator
//
// Objects are held by shared reference and released by dropping the
// reference. A store keeps its session alive; after Remove() or the
// session's Logoff() every call on the store or its folders fails with an
// error instead of touching the file.
//
// Every call can fail. A failure comes back as a pst::Status whose code and
// message give the error's number (ErrorNumber) and description
// (ErrorDescription) shown to the user. No exception leaves these calls.
//
// Texts and paths are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pst/base/result.h"
#include "pst/base/status.h"

namespace quillmar::session {

using pst::Result;
using pst::Status;

// The name under which the tool asks for a session.
inline constexpr std::string_view kSessionProgId = "Redemption.RDOSession";

// Format selector of AddPSTStore. The tool always passes 1. An existing file
// opens in its own format whatever the selector says; where no file exists a
// new store is created in the default format (Unicode).
inline constexpr int16_t kStoreFormatDefault = 1;

// Values of MessageStore::StoreKind().
inline constexpr int32_t kStoreKindAnsi = 1;
inline constexpr int32_t kStoreKindUnicode = 2;
inline constexpr int32_t kStoreKindOffline = 3;  // an OST file
inline constexpr int32_t kStoreKindUnknown = 0;

// The display name the tool gives its output store.
inline constexpr std::string_view kOutputStoreDisplayName = "Personal Folders";

// The error number shown for a failure: stable per error code, 0 for OK.
int32_t ErrorNumber(const Status& status);
// The error description shown for a failure (the message, or the code's name
// when the message is empty).
std::string ErrorDescription(const Status& status);

// Progress of one CopyTo, reported to a CopyObserver.
struct CopyProgress {
  uint64_t objects_done = 0;   // folders and messages copied so far
  uint64_t objects_total = 0;  // 0 while not known
  uint64_t bytes_done = 0;
  std::string current_folder;  // display name of the folder being copied
};

// What a copy met in a damaged source: messages copied although a part of
// them was read through damage or could not be read (and was left out), and
// messages that could not be read at all.
struct CopyDamage {
  uint64_t messages_recovered_with_damage = 0;
  uint64_t messages_unreadable = 0;
};

// Receives progress from a long operation. Implementations of CopyTo call
// OnProgress at least every 100 ms of work, on the calling thread. Returning
// false cancels: the operation stops as soon as it can and fails with a
// Cancelled status; what was committed before stays in the destination.
class CopyObserver {
 public:
  virtual ~CopyObserver() = default;
  virtual bool OnProgress(const CopyProgress& progress) = 0;
  // Told once at the end of a copy that met damage in its source (whatever
  // the copy returns). CopyContentsTo of a source store's top folder, the
  // last copy of a whole store, also carries what no folder reached but
  // could still be read into a folder "Recovered Items" of the destination's
  // top folder, and tells what it met here.
  virtual void OnDamage(const CopyDamage& damage) { (void)damage; }
};

// What a protected store needs to be opened. A store that needs a password
// and is not given the right one fails AddPSTStore with PermissionDenied, so
// a caller can ask the user and try again with the answer.
struct StoreCredentials {
  std::optional<std::string> password;
};

class MessageFolder;

// The direct subfolders of one folder, one by one in the store's order.
// Deleting the folder just yielded does not disturb the enumeration.
class FolderEnumerator {
 public:
  virtual ~FolderEnumerator() = default;
  // The next subfolder, or nullptr after the last one.
  virtual Result<std::shared_ptr<MessageFolder>> Next() = 0;
};

class MessageFolder {
 public:
  virtual ~MessageFolder() = default;

  // The folder's display name.
  virtual Result<std::string> Name() = 0;
  // The folder's direct subfolders.
  virtual Result<std::unique_ptr<FolderEnumerator>> Folders() = 0;
  // Deletes this folder with all it holds from its store, committed before
  // the call returns. The folder object is dead afterwards.
  virtual Status Delete() = 0;
  // Copies this folder with its contents and subfolders under destination,
  // which may belong to a store of another session and of the other format.
  // Committed as one transaction before the call returns. observer may be
  // null.
  virtual Status CopyTo(MessageFolder& destination, CopyObserver* observer) = 0;
  // Copies the messages (normal and associated) that this folder holds
  // itself, not its subfolders, into destination, which may belong to a
  // store of another session and of the other format. Committed as one
  // transaction before the call returns; a folder holding no messages
  // changes nothing. observer may be null.
  virtual Status CopyContentsTo(MessageFolder& destination, CopyObserver* observer) = 0;
};

class MessageStore {
 public:
  virtual ~MessageStore() = default;

  // kStoreKindAnsi, kStoreKindUnicode, or another value for anything else.
  virtual Result<int32_t> StoreKind() = 0;
  // The top of the folder tree the user sees.
  virtual Result<std::shared_ptr<MessageFolder>> IPMRootFolder() = 0;
  // Detaches the store from its session; the file stays on disk.
  virtual Status Remove() = 0;
};

// The session's collection of attached stores.
class RDOStores {
 public:
  virtual ~RDOStores() = default;

  // Attaches the store file at path. An existing file opens in its own
  // format and is not written unless something is changed in it; where no
  // file exists a new store is created. display_name, when given, becomes
  // the store's display name.
  virtual Result<std::shared_ptr<MessageStore>> AddPSTStore(
      const std::string& path, int16_t format,
      const std::optional<std::string>& display_name,
      const StoreCredentials& credentials) = 0;

  Result<std::shared_ptr<MessageStore>> AddPSTStore(
      const std::string& path, int16_t format,
      const std::optional<std::string>& display_name = std::nullopt) {
    return AddPSTStore(path, format, display_name, StoreCredentials{});
  }
};

class RDOSession {
 public:
  virtual ~RDOSession() = default;

  // Makes the session ready to attach stores (no profile, no arguments).
  virtual Status Logon() = 0;
  // Text that begins with the compatibility version's major number, as
  // "16.0.0.0"; the major number of a usable session is at least 11.
  virtual Result<std::string> ClientVersion() = 0;
  virtual Result<std::shared_ptr<RDOStores>> Stores() = 0;
  // Ends the session; stores still attached are detached (files closed).
  // Succeeds on a session that is not logged on.
  virtual Status Logoff() = 0;
};

// Creates sessions by name; only kSessionProgId is known.
class SessionFactory {
 public:
  virtual ~SessionFactory() = default;
  virtual Result<std::shared_ptr<RDOSession>> CreateSession(std::string_view prog_id) = 0;
};

}  // namespace quillmar::session
