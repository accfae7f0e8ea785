#include "forms/frm_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QInputDialog>
#include <QLabel>
#include <QPainter>
#include <QScreen>

#include "forms/dialogs/help_viewer.h"
#include "forms/dialogs/message_box.h"
#include "forms/form_table.h"
#include "forms/frm_about.h"
#include "forms/skin/hook_menu.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_form.h"
#include "forms/skin/skin_global.h"
#include "forms/skin/skin_style.h"
#include "forms/skin/skin_toolbar.h"

namespace quillmar::forms {
namespace {

QString fromUtf8(const std::string &text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// Labels that size themselves to their text keep their height.
void setFittedText(QLabel *label, const QString &text) {
  label->setText(text);
  label->resize(label->sizeHint().width(), label->height());
}

}  // namespace

frmMain::frmMain(FormTable &table) : QWidget(nullptr), m_table(table) {
  createControls();
  wireEvents();
  const Services &services = m_table.services();
  m_global = std::make_unique<core::Global>(*services.folders, *services.files);
  core::MainCommandsDeps deps;
  deps.window = this;
  deps.dialogs = services.dialogs;
  deps.sessions = services.sessions;
  deps.global = m_global.get();
  deps.environment = services.environment;
  deps.password_prompt = this;
  m_commands = std::make_unique<core::MainCommands>(deps);
}

frmMain::~frmMain() = default;

void frmMain::Form_Load() {
  ++m_formLoadCount;
  SkinForm1->attach(this, true);
  SkinForm1->setMaximizeDisabled(true);
}

void frmMain::wireEvents() {
  connect(CmdBrowse, &QPushButton::clicked, this, &frmMain::CmdBrowse_Click);
  connect(CmdConvertPST, &QPushButton::clicked, this, &frmMain::CmdConvertPST_Click);
  auto index = [](QAction *a) { return qint16(a->property("index").toInt()); };
  connect(mnuOpen, &QAction::triggered, this, [this, index] { mnuOpen_Click(index(mnuOpen)); });
  connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);
  connect(mnuHelp, &QAction::triggered, this, [this, index] { mnuHelp_Click(index(mnuHelp)); });
  connect(mnuAbout, &QAction::triggered, this, [this, index] { mnuAbout_Click(index(mnuAbout)); });
  connect(NotesToolBar, &skin::SkinToolBar::buttonClick, this,
          [this](int number) { NotesToolBar_ButtonClick(qint16(number)); });
}

// ---- Event handlers and command routing ----

void frmMain::CmdBrowse_Click() { m_commands->CmdBrowse_Click(); }

void frmMain::CmdConvertPST_Click() { m_commands->CmdConvertPST_Click(); }

void frmMain::mnuOpen_Click(qint16 index) {
  if (index == 0)
    CmdBrowse_Click();
}

void frmMain::mnuExit_Click() {
  if (ShowMessage("Are you sure you want to close the software", "QUILLMAR",
                  core::kStyleYesNoInformation) == core::kResultYes)
    m_commands->RequestExit();
}

void frmMain::mnuHelp_Click(qint16) { showHelp(); }

void frmMain::mnuAbout_Click(qint16) { showAbout(); }

void frmMain::NotesToolBar_ButtonClick(qint16 number) {
  if (number == 1)
    CmdBrowse_Click();
  else if (number == 3)
    CmdConvertPST_Click();
  else if (number == 5)
    showHelp();
}

void frmMain::showHelp() {
  // Program folder, separator, file name, passed on as formed.
  const QString path = fromUtf8(m_table.services().environment->ProgramFolder()) +
                       QStringLiteral("/Help.chm");
  forms::ShowHelpFile(path);
}

void frmMain::showAbout() {
  frmAbout about(this);
  about.exec();
}

// ---- core::MainWindow ----

platform::WindowHandle frmMain::Handle() const { return platform::WindowHandle(winId()); }

void frmMain::SetSourcePathText(const std::string &text) { txtNotesDatabaseFile->setText(fromUtf8(text)); }

std::string frmMain::SourcePathText() const { return txtNotesDatabaseFile->text().toStdString(); }

void frmMain::SetScanFrameVisible(bool visible) { ScanFrame->setVisible(visible); }

void frmMain::SetFormatLabel(const std::string &caption) { setFittedText(LblPSTKind, fromUtf8(caption)); }

skin::SkinOptionButton *frmMain::option(core::TargetOption option) const {
  return option == core::TargetOption::kUnicode ? OptUnicode : OptAnsi;
}

void frmMain::SetOptionSelected(core::TargetOption which, bool selected) {
  option(which)->setSelected(selected);
}

void frmMain::SetOptionAvailable(core::TargetOption which, bool available) {
  option(which)->setAvailable(available);
}

void frmMain::SetConvertButtonEnabled(bool enabled) { CmdConvertPST->setEnabled(enabled); }

void frmMain::SetToolbarButtonEnabled(int number, bool enabled) {
  NotesToolBar->setButtonEnabled(number, enabled);
}

void frmMain::RedrawToolbar() { NotesToolBar->refresh(); }

QWidget *frmMain::progressControl(core::ProgressControl control) const {
  switch (control) {
    case core::ProgressControl::kReadingArrow: return ImgReadingArrow;
    case core::ProgressControl::kSaveHeader: return LblSaveHeader;
    case core::ProgressControl::kSubject: return LblSubject;
    case core::ProgressControl::kProcessing: return LblProcessing;
  }
  return nullptr;
}

void frmMain::SetProgressControlVisible(core::ProgressControl control, bool visible) {
  if (QWidget *widget = progressControl(control))
    widget->setVisible(visible);
}

void frmMain::SetSaveHeaderCaption(const std::string &caption) {
  LblSaveHeader->setText(fromUtf8(caption));
  LblSaveHeader->resize(qMax(123, LblSaveHeader->sizeHint().width()), LblSaveHeader->height());
}

void frmMain::SetProcessingCaption(const std::string &caption) { LblProcessing->setText(fromUtf8(caption)); }

int frmMain::ShowMessage(const std::string &text, const std::string &title, int style) {
  return forms::ShowPlainMessageBox(this, fromUtf8(text), fromUtf8(title), style);
}

void frmMain::ShowSkinnedMessage(const std::string &prompt, int style, const std::string &title) {
  skin::SkinGlobal::instance()->SkinnedMessageBox(fromUtf8(prompt), style, fromUtf8(title));
}

void frmMain::EndProgram() {
  // Windows are hidden, not closed: no close handler of any window runs.
  m_ending = true;
  for (QWidget *window : QApplication::topLevelWidgets())
    window->hide();
  QCoreApplication::exit(0);
}

std::optional<std::string> frmMain::AskPassword(const std::string &store_path, bool retry) {
  const QString file = fromUtf8(store_path);
  const QString question =
      retry ? tr("The password is not right.\n\nPassword for %1:").arg(file)
            : tr("The store %1 is protected by a password.\n\nPassword:").arg(file);
  bool ok = false;
  const QString answer = QInputDialog::getText(this, QStringLiteral("QUILLMAR"), question,
                                               QLineEdit::Password, QString(), &ok);
  if (!ok)
    return std::nullopt;
  return answer.toStdString();
}

// ---- Window events ----

void frmMain::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  skin::paintFormBackground(painter, rect(), SkinForm1->ownsTitleBar());
}

void frmMain::showEvent(QShowEvent *event) {
  if (!m_shownOnce) {
    m_shownOnce = true;
    if (QScreen *screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
  }
  QWidget::showEvent(event);
}

void frmMain::closeEvent(QCloseEvent *event) {
  // Closing the window through the window system ends the program without
  // asking (a run in progress stops first and then ends it).
  if (!m_ending)
    m_commands->RequestExit();
  event->accept();
}

}  // namespace quillmar::forms
