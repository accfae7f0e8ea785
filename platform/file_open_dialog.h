// The file-open dialog through which the user picks a source store. The Qt
// side implements it with QFileDialog; tests script it.
//
// Texts and paths are UTF-8.
#pragma once

#include <memory>
#include <string>

#include "platform/shell.h"
#include "pst/base/result.h"
#include "pst/base/status.h"

namespace quillmar::platform {

class FileOpenDialog {
 public:
  virtual ~FileOpenDialog() = default;

  virtual void SetOwner(WindowHandle owner) = 0;
  virtual void SetFileName(const std::string& file_name) = 0;
  // "Description|pattern", e.g. "Outlook Personal Storage File (*.pst)|*.pst";
  // further pairs may follow, each joined by "|".
  virtual void SetFilter(const std::string& filter) = 0;
  // Shows the dialog modally as an open-file dialog. Afterwards FileName()
  // is the chosen file's full path, or empty text when the user cancelled.
  virtual pst::Status ShowOpen() = 0;
  virtual std::string FileName() const = 0;
};

class FileOpenDialogFactory {
 public:
  virtual ~FileOpenDialogFactory() = default;
  virtual pst::Result<std::unique_ptr<FileOpenDialog>> CreateFileOpenDialog() = 0;
};

}  // namespace quillmar::platform
