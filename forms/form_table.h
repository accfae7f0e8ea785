// The program's window table: frmMain, frmAbout, frmSplash. A form is
// loaded on its first use (loading frmMain runs its Form_Load) and lives
// until it is unloaded or the table goes.
#pragma once

#include <QPointer>

#include "core/main_window.h"
#include "core/run_environment.h"
#include "platform/file_open_dialog.h"
#include "platform/shell.h"
#include "session/session.h"

namespace quillmar::forms {

class frmMain;
class frmSplash;

// What the windows are built on. Every pointer must outlive the table;
// passwords may be null (frmMain then asks for passwords itself).
struct Services {
  session::SessionFactory *sessions = nullptr;
  platform::FileOpenDialogFactory *dialogs = nullptr;
  platform::FolderPicker *folders = nullptr;
  platform::FileCopier *files = nullptr;
  core::RunEnvironment *environment = nullptr;
};

class FormTable {
 public:
  explicit FormTable(const Services &services);
  ~FormTable();  // unloads every form still loaded

  FormTable(const FormTable &) = delete;
  FormTable &operator=(const FormTable &) = delete;

  const Services &services() const { return m_services; }

  // frmMain, loaded (with its Form_Load) on first use.
  frmMain *mainForm();
  bool isMainLoaded() const { return !m_main.isNull(); }
  // Shows frmMain as a normal window with no owner; loads it first if needed.
  void showMain();

  // frmSplash, loaded on first use (its timer starts with it).
  frmSplash *splashForm();
  bool isSplashLoaded() const { return !m_splash.isNull(); }
  // Closes the splash and destroys it with its timer; nothing if not loaded.
  void unloadSplash();

 private:
  Services m_services;
  QPointer<frmMain> m_main;
  QPointer<frmSplash> m_splash;
};

}  // namespace quillmar::forms
