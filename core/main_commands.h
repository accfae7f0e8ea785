// The main window's two working commands, CmdBrowse_Click (pick a source
// store and detect its format) and CmdConvertPST_Click (the conversion run),
// with the window's session reference they share. frmMain owns one
// MainCommands and routes its buttons, menu items and toolbar buttons here;
// everything the commands show goes through MainWindow.
//
// While a run is in progress it yields to the event loop; browse and convert
// started during a yield are refused, so nothing changes the shared state or
// the session reference under the run. RequestExit() during a run stops the
// run, removes its unfinished output file and then ends the program.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/global.h"
#include "core/main_window.h"
#include "core/run_environment.h"
#include "platform/file_open_dialog.h"
#include "session/session.h"

namespace quillmar::core {

struct MainCommandsDeps {
  MainWindow* window = nullptr;
  platform::FileOpenDialogFactory* dialogs = nullptr;
  session::SessionFactory* sessions = nullptr;
  Global* global = nullptr;
  RunEnvironment* environment = nullptr;
  PasswordPrompt* password_prompt = nullptr;  // optional
};

class MainCommands {
 public:
  explicit MainCommands(const MainCommandsDeps& deps);
  ~MainCommands();

  MainCommands(const MainCommands&) = delete;
  MainCommands& operator=(const MainCommands&) = delete;

  // Browse: the file-open dialog, then format detection.
  void CmdBrowse_Click();
  // The conversion run.
  void CmdConvertPST_Click();

  // The user confirmed exit (or closed the main window). Without a run in
  // progress the program ends at once; during a run the run is stopped, its
  // unfinished output file removed, and then the program ends.
  void RequestExit();

  // True from the start of a conversion run to its end, yields included.
  bool RunInProgress() const { return run_in_progress_; }

  // The window's session reference: empty except while a command holds a
  // session in it.
  const std::shared_ptr<session::RDOSession>& session_reference() const { return session_; }

 private:
  friend class ConversionRun;

  // After a source is chosen: opens a session, refuses a client version that
  // is too old, attaches the source, shows its format and offers the other
  // one as the target, then detaches and logs off. The first failure is
  // returned for the error branch.
  pst::Status DetectSourceFormat();
  void BrowseErrorBranch();
  // Attaches the source store with the password known for it, asking for
  // one when it needs one and may_ask (and a prompt is at hand); a password
  // that opens the store is remembered.
  pst::Result<std::shared_ptr<session::MessageStore>> AttachSource(
      session::RDOStores& stores, const std::string& path, bool may_ask);
  // A message giving a failure's number and description.
  void ShowFailure(const pst::Status& failure);

  MainCommandsDeps deps_;
  std::shared_ptr<session::RDOSession> session_;
  // Passwords the user gave, by store path, for the rest of the program
  // run: browse asks once per file and the run reuses the answer.
  std::map<std::string, std::string> known_passwords_;
  bool run_in_progress_ = false;
  bool exit_requested_ = false;
};

}  // namespace quillmar::core
