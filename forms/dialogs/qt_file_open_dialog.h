// The file-open dialog over QFileDialog.
#pragma once

#include <memory>
#include <string>

#include "platform/file_open_dialog.h"

namespace quillmar::forms {

class QtFileOpenDialog : public platform::FileOpenDialog {
 public:
  void SetOwner(platform::WindowHandle owner) override { owner_ = owner; }
  void SetFileName(const std::string &file_name) override { file_name_ = file_name; }
  void SetFilter(const std::string &filter) override { filter_ = filter; }
  pst::Status ShowOpen() override;
  std::string FileName() const override { return file_name_; }

  // "Outlook Personal Storage File (*.pst)|*.pst" as Qt writes name filters:
  // one "Description (patterns)" per pair, ";" between patterns becoming " ".
  static std::string QtNameFilters(const std::string &filter);

 private:
  platform::WindowHandle owner_ = platform::kNoOwner;
  std::string file_name_;
  std::string filter_;
};

class QtFileOpenDialogFactory : public platform::FileOpenDialogFactory {
 public:
  pst::Result<std::unique_ptr<platform::FileOpenDialog>> CreateFileOpenDialog() override;
};

}  // namespace quillmar::forms
