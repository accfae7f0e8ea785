// The main window: every control the commands drive, the menu bar, the
// toolbar and the status bar, and the routing of the user's actions to the
// five commands (browse, convert, help, about, exit). The browse command and
// the conversion run are carried out by core::MainCommands, which sees this
// window through core::MainWindow.
#pragma once

#include <memory>
#include <QWidget>

#include "core/global.h"
#include "core/main_commands.h"
#include "core/main_window.h"

class QAction;
class QLabel;
class QMenu;

namespace quillmar::skin {
class HookMenu;
class SkinButton;
class SkinForm;
class SkinFrame;
class SkinImageList;
class SkinLabel;
class SkinOptionButton;
class SkinStatusBar;
class SkinTextBox;
class SkinToolBar;
}  // namespace quillmar::skin

namespace quillmar::forms {

class FormTable;

class frmMain : public QWidget, public core::MainWindow, public core::PasswordPrompt {
  Q_OBJECT
 public:
  explicit frmMain(FormTable &table);
  ~frmMain() override;

  // Runs when the window is loaded, before it is first shown.
  void Form_Load();
  int formLoadCount() const { return m_formLoadCount; }

  // Event handlers.
  void CmdBrowse_Click();
  void CmdConvertPST_Click();
  void mnuOpen_Click(qint16 index);
  void mnuExit_Click();
  void mnuHelp_Click(qint16 index);
  void mnuAbout_Click(qint16 index);
  void NotesToolBar_ButtonClick(qint16 number);

  core::MainCommands &commands() { return *m_commands; }
  core::Global &global() { return *m_global; }

  // core::MainWindow
  platform::WindowHandle Handle() const override;
  void SetSourcePathText(const std::string &text) override;
  std::string SourcePathText() const override;
  void SetScanFrameVisible(bool visible) override;
  void SetFormatLabel(const std::string &caption) override;
  void SetOptionSelected(core::TargetOption option, bool selected) override;
  void SetOptionAvailable(core::TargetOption option, bool available) override;
  void SetConvertButtonEnabled(bool enabled) override;
  void SetToolbarButtonEnabled(int number, bool enabled) override;
  void RedrawToolbar() override;
  void SetProgressControlVisible(core::ProgressControl control, bool visible) override;
  void SetSaveHeaderCaption(const std::string &caption) override;
  void SetProcessingCaption(const std::string &caption) override;
  int ShowMessage(const std::string &text, const std::string &title, int style) override;
  void ShowSkinnedMessage(const std::string &prompt, int style, const std::string &title) override;
  void EndProgram() override;

  // core::PasswordPrompt
  std::optional<std::string> AskPassword(const std::string &store_path, bool retry) override;

  // The three panel texts of the status bar.
  static const char kMakerName[];
  static const char kSupportEmail[];
  static const char kWebAddress[];

 protected:
  void paintEvent(QPaintEvent *event) override;
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

 private:
  void createControls();
  void createMenus();
  void createToolbarAndStatusBar();
  void wireEvents();
  void showHelp();
  void showAbout();
  skin::SkinOptionButton *option(core::TargetOption option) const;
  QWidget *progressControl(core::ProgressControl control) const;

  FormTable &m_table;
  std::unique_ptr<core::Global> m_global;
  std::unique_ptr<core::MainCommands> m_commands;
  int m_formLoadCount = 0;
  bool m_shownOnce = false;
  bool m_ending = false;

  // Controls, named as in the window's design.
  skin::SkinForm *SkinForm1 = nullptr;
  skin::SkinImageList *SmallIcons = nullptr;
  skin::HookMenu *MenuTop = nullptr;
  QMenu *mnuFileTop = nullptr;
  QAction *mnuOpen = nullptr;
  QAction *mnuSep1 = nullptr;
  QAction *mnuExit = nullptr;
  QMenu *mnuHelpTop = nullptr;
  QAction *mnuHelp = nullptr;
  QAction *mnuAbout = nullptr;
  skin::SkinToolBar *NotesToolBar = nullptr;
  skin::SkinStatusBar *StatusBar1 = nullptr;
  skin::SkinTextBox *txtNotesDatabaseFile = nullptr;
  skin::SkinButton *CmdBrowse = nullptr;
  skin::SkinOptionButton *OptUnicode = nullptr;
  skin::SkinOptionButton *OptAnsi = nullptr;
  skin::SkinFrame *ScanFrame = nullptr;
  QLabel *Lbl = nullptr;
  QLabel *LblPSTKind = nullptr;
  QLabel *ImgReadingArrow = nullptr;
  QLabel *LblSaveHeader = nullptr;
  QLabel *LblSubject = nullptr;
  QLabel *LblProcessing = nullptr;
  QLabel *LblFolderName = nullptr;
  skin::SkinButton *CmdConvertPST = nullptr;
};

}  // namespace quillmar::forms
