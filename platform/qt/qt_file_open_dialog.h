// The file-open dialog over QFileDialog.
#pragma once

#include <memory>
#include <string>

#include "platform/file_open_dialog.h"

namespace quillmar::platform {

class QtFileOpenDialog : public FileOpenDialog {
 public:
  void SetOwner(WindowHandle owner) override { owner_ = owner; }
  void SetFileName(const std::string &file_name) override { file_name_ = file_name; }
  void SetFilter(const std::string &filter) override { filter_ = filter; }
  pst::Status ShowOpen() override;
  std::string FileName() const override { return file_name_; }

  // "Outlook Personal Storage File (*.pst)|*.pst" as Qt writes name filters:
  // one "Description (patterns)" per pair, ";" between patterns becoming " ".
  static std::string QtNameFilters(const std::string &filter);

 private:
  WindowHandle owner_ = kNoOwner;
  std::string file_name_;
  std::string filter_;
};

class QtFileOpenDialogFactory : public FileOpenDialogFactory {
 public:
  pst::Result<std::unique_ptr<FileOpenDialog>> CreateFileOpenDialog() override;
};

}  // namespace quillmar::platform
