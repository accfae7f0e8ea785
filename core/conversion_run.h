// CmdConvertPST_Click's work: one conversion run from the destination
// folder's choice to the completion notice. Internal to core; MainCommands
// starts it and keeps the session reference and the exit request it uses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/main_commands.h"

namespace quillmar::core {

class ConversionRun {
 public:
  explicit ConversionRun(MainCommands& commands);
  ~ConversionRun();

  void Execute();

 private:
  class Observer;

  bool StopRequested() const { return commands_.exit_requested_; }
  // Yields to the event loop; false when an exit was asked for meanwhile.
  bool Yield();

  void ShowProgressControls();
  void ClearCaptions();
  // Copies the template to the first output name not yet taken; sets
  // OutputPath. False (after telling the user) when no copy could be made.
  bool CopyTemplate();
  // Sessions, stores, the emptied destination and the source's folder
  // enumeration, up to its first folder. Any failure ends the run.
  pst::Status OpenAndPrepare();
  void CopyFolders();
  // The messages held by the source's top folder itself go into the
  // destination's top folder, after the folders.
  void CopyTopFolderMessages();
  // Removes both stores and logs both sessions off, in that order. Strict:
  // stops at the first failure and returns it; otherwise goes on past it.
  pst::Status Close(bool strict);
  // Detaches and logs off whatever is still open, ignoring failures, and
  // empties every reference.
  void ReleaseAll();
  // An exit request ends the run: release, and take away the unfinished
  // output file.
  void Abandon();
  void ReportFailure(const pst::Status& failure);
  void ShowCompletionNotice();

  MainCommands& commands_;
  MainWindow& window_;
  Global& global_;
  RunEnvironment& environment_;

  std::shared_ptr<session::RDOSession> second_session_;
  std::shared_ptr<session::MessageStore> destination_;
  std::shared_ptr<session::MessageStore> source_;
  bool first_logged_on_ = false;
  bool second_logged_on_ = false;
  bool destination_attached_ = false;
  bool source_attached_ = false;
  bool output_created_ = false;

  std::shared_ptr<session::MessageFolder> source_top_;
  std::unique_ptr<session::FolderEnumerator> source_folders_;
  std::shared_ptr<session::MessageFolder> next_folder_;
  int folders_passed_ = 0;
  std::vector<std::string> failures_;
  session::CopyDamage damage_;  // what the copies met in a damaged source
  pst::Status output_closed_;  // how removing the output store went
};

}  // namespace quillmar::core
