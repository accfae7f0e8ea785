// What the tool asks of the desktop shell and the file system: a folder
// picker and a file copy. The Qt folder dialog and the std::filesystem copy
// implement them; tests hand in fakes or use real temporary folders.
//
// Texts and paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace quillmar::platform {

// An opaque handle of a window, handed out by the window implementation and
// given back to it as an owner (the Qt side uses QWidget::winId() and finds
// the widget again with QWidget::find()). 0 means "no owner".
using WindowHandle = std::uintptr_t;
inline constexpr WindowHandle kNoOwner = 0;

// The system's folder picker.
class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  // Shows the picker modally (application-modal only when owner is given)
  // and returns the chosen folder's path, or empty text when the user
  // cancels. Must not throw.
  virtual std::string PickFolder(WindowHandle owner, const std::string& title) = 0;
};

// The outcome of one file copy.
struct FileCopyResult {
  enum class Outcome {
    kCopied,
    kDestinationExists,  // fail_if_exists was set and something lies there
    kFailed,             // anything else; reason says what
  };
  Outcome outcome = Outcome::kFailed;
  std::string reason;  // empty when copied

  bool ok() const { return outcome == Outcome::kCopied; }
};

class FileCopier {
 public:
  virtual ~FileCopier() = default;
  // Copies source to destination. With fail_if_exists an existing
  // destination is left alone and the copy fails with kDestinationExists
  // (checked atomically with the creation); without it the destination is
  // replaced. A failed copy leaves no partial destination that it created.
  virtual FileCopyResult CopyFile(const std::string& source, const std::string& destination,
                                  bool fail_if_exists) = 0;
};

}  // namespace quillmar::platform
