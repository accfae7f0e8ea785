// The folder picker over QFileDialog. With an owner the picker blocks that
// window; without one every window stays usable while it is open, and the
// call still returns only when the picker closes.
#pragma once

#include <string>

#include "platform/shell.h"

namespace quillmar::forms {

class QtFolderPicker : public platform::FolderPicker {
 public:
  std::string PickFolder(platform::WindowHandle owner, const std::string &title) override;
};

}  // namespace quillmar::forms
