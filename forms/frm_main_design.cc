// frmMain's design: every control with its kind, initial state, texts,
// fonts, colours, position and size. Nothing here runs a command.

#include <QAction>
#include <QLabel>
#include <QMenu>

#include "forms/frm_main.h"
#include "forms/skin/hook_menu.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_form.h"
#include "forms/skin/skin_image_list.h"
#include "forms/skin/skin_status_bar.h"
#include "forms/skin/skin_style.h"
#include "forms/skin/skin_toolbar.h"

namespace quillmar::forms {
namespace {

using skin::designFont;

// Places a control; a label keeps at least its designed width but grows to
// its text when the installed font is wider than the design font.
void place(QWidget *control, int left, int top, int width, int height) {
  control->setGeometry(left, top, width, height);
}

void placeLabel(QLabel *label, int left, int top, int width, int height) {
  label->setGeometry(left, top, qMax(width, label->sizeHint().width()), height);
}

QLabel *label(QWidget *parent, const char *name, const QString &text) {
  auto *l = new QLabel(text, parent);
  l->setObjectName(QString::fromLatin1(name));
  // Set, not inherited: a styled frame does not pass its font on.
  l->setFont(designFont(QStringLiteral("Tahoma"), 8.25));
  l->setAttribute(Qt::WA_TranslucentBackground);
  return l;
}

void setTextColor(QWidget *widget, const QColor &color) {
  QPalette pal = widget->palette();
  pal.setColor(QPalette::WindowText, color);
  widget->setPalette(pal);
}

QLabel *picture(QWidget *parent, const char *name, const QString &resource) {
  auto *l = new QLabel(parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setPixmap(QPixmap(resource));
  return l;
}

}  // namespace

const char frmMain::kMakerName[] = "Brantwick";
const char frmMain::kSupportEmail[] = "support@brantwick.com";
const char frmMain::kWebAddress[] = "www.brantwick.com";

void frmMain::createControls() {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("QUILLMAR v2.0 Build 1108"));
  setWindowIcon(QIcon(QStringLiteral(":/pictures/quillmar.ico")));
  setFixedSize(696, 570);
  setFont(designFont(QStringLiteral("Tahoma"), 8.25));

  SkinForm1 = new skin::SkinForm(this);
  SkinForm1->setObjectName(QStringLiteral("SkinForm1"));
  place(SkinForm1, 0, 0, 696, 30);

  QLabel *label7 = label(this, "Label7", QStringLiteral("Brantwick"));
  label7->setFont(designFont(QStringLiteral("Verdana"), 8.25, true));
  placeLabel(label7, 15, 38, 58, 13);
  QLabel *label8 = label(this, "Label8", QStringLiteral("QUILLMAR"));
  label8->setFont(designFont(QStringLiteral("Verdana"), 14.25, true));
  setTextColor(label8, QColor(0, 0, 128));
  placeLabel(label8, 14, 48, 144, 23);
  QLabel *label9 =
      label(this, "Label9", QStringLiteral("Convert Ansi Outlook PST files to Unicode Outlook PST files"));
  placeLabel(label9, 16, 70, 282, 13);

  QLabel *image2 = picture(this, "Image2", QStringLiteral(":/pictures/strip.bmp"));
  image2->setScaledContents(true);
  place(image2, -8, 88, 713, 2);

  QLabel *image4 = picture(this, "Image4", QStringLiteral(":/pictures/side.gif"));
  image4->setAlignment(Qt::AlignCenter);
  place(image4, 16, 176, 131, 310);

  QLabel *label3 = label(this, "Label3", QStringLiteral("Select Outlook PST File (.pst)"));
  placeLabel(label3, 160, 184, 139, 13);
  txtNotesDatabaseFile = new skin::SkinTextBox(this);
  txtNotesDatabaseFile->setObjectName(QStringLiteral("txtNotesDatabaseFile"));
  txtNotesDatabaseFile->setFont(designFont(QStringLiteral("Tahoma"), 8.25));
  txtNotesDatabaseFile->setLocked(true);
  place(txtNotesDatabaseFile, 160, 200, 401, 25);
  CmdBrowse = new skin::SkinButton(QStringLiteral("Browse..."), this);
  CmdBrowse->setObjectName(QStringLiteral("CmdBrowse"));
  CmdBrowse->setIcon(QIcon(QStringLiteral(":/pictures/small/browse.png")));
  CmdBrowse->setIconSize(QSize(16, 16));
  place(CmdBrowse, 568, 200, 105, 25);

  QLabel *label4 = label(this, "Label4", QStringLiteral("Choose an action to perform:"));
  placeLabel(label4, 160, 248, 141, 13);
  OptUnicode = new skin::SkinOptionButton(QStringLiteral("  Convert to Unicode (2003/2007) Format"), this);
  OptUnicode->setObjectName(QStringLiteral("OptUnicode"));
  place(OptUnicode, 160, 272, 249, 17);
  OptAnsi = new skin::SkinOptionButton(QStringLiteral("  Convert to Ansi (2000/2002/XP) Format"), this);
  OptAnsi->setObjectName(QStringLiteral("OptAnsi"));
  place(OptAnsi, 416, 272, 257, 17);

  ScanFrame = new skin::SkinFrame(QStringLiteral(" Description "), this);
  ScanFrame->setObjectName(QStringLiteral("ScanFrame"));
  place(ScanFrame, 160, 304, 513, 137);
  Lbl = label(ScanFrame, "Lbl", QStringLiteral("Selected PST file is :"));
  placeLabel(Lbl, 11, 24, 96, 13);
  LblPSTKind = label(ScanFrame, "LblPSTKind", QString());
  LblPSTKind->setFont(designFont(QStringLiteral("Tahoma"), 8.25, true));
  setTextColor(LblPSTKind, QColor(0, 0, 192));
  placeLabel(LblPSTKind, 136, 24, 0, 13);
  ImgReadingArrow = picture(ScanFrame, "ImgReadingArrow", QStringLiteral(":/pictures/reading_arrow.gif"));
  place(ImgReadingArrow, 16, 56, 10, 16);
  ImgReadingArrow->hide();
  LblSaveHeader = label(ScanFrame, "LblSaveHeader", QStringLiteral("Checking Configuration..."));
  placeLabel(LblSaveHeader, 32, 56, 123, 13);
  LblSaveHeader->hide();
  LblSubject = label(ScanFrame, "LblSubject", QStringLiteral("Converting Folder :"));
  LblSubject->setFont(designFont(QStringLiteral("Tahoma"), 8.25, true));
  placeLabel(LblSubject, 32, 80, 113, 13);
  LblSubject->hide();
  LblProcessing = label(ScanFrame, "LblProcessing", QString());
  LblProcessing->setWordWrap(true);
  LblProcessing->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  place(LblProcessing, 152, 80, 331, 37);
  LblProcessing->hide();
  LblFolderName = label(ScanFrame, "LblFolderName", QString());
  placeLabel(LblFolderName, 72, 104, 0, 13);
  ScanFrame->hide();

  CmdConvertPST = new skin::SkinButton(QStringLiteral("Start Conversion >"), this);
  CmdConvertPST->setObjectName(QStringLiteral("CmdConvertPST"));
  CmdConvertPST->setEnabled(false);
  place(CmdConvertPST, 336, 464, 145, 25);

  auto *line1 = new QWidget(this);
  line1->setObjectName(QStringLiteral("Line1"));
  line1->setAutoFillBackground(true);
  QPalette linePalette = line1->palette();
  linePalette.setColor(QPalette::Window, QColor(192, 192, 192));
  line1->setPalette(linePalette);
  place(line1, 16, 504, 688 - 16 + 1, 1);

  QLabel *image1 = new QLabel(this);
  image1->setObjectName(QStringLiteral("Image1"));
  image1->setPixmap(QIcon(QStringLiteral(":/pictures/mail.ico")).pixmap(QSize(16, 16)));
  place(image1, 16, 512, 16, 16);
  auto *supports = new skin::SkinLabel(QStringLiteral("Supports Outlook 2000, 2002 (XP), 2003, 2007"), this);
  supports->setObjectName(QStringLiteral("SkinLabel1"));
  placeLabel(supports, 40, 512, 296, 17);

  createMenus();
  createToolbarAndStatusBar();
}

void frmMain::createMenus() {
  SmallIcons = new skin::SkinImageList(this);
  SmallIcons->setObjectName(QStringLiteral("SmallIcons"));
  SmallIcons->setImageSize(QSize(16, 16));
  for (int number : {37, 47, 48, 61})
    SmallIcons->setImage(number, QPixmap(QStringLiteral(":/pictures/small/%1.png").arg(number)));

  MenuTop = new skin::HookMenu(this);
  MenuTop->setObjectName(QStringLiteral("MenuTop"));
  MenuTop->setImageList(SmallIcons);
  MenuTop->setItemImage(QStringLiteral("#mnuOpen:0"), 61);
  MenuTop->setItemImage(QStringLiteral("#mnuHelp:0"), 47);
  MenuTop->setItemImage(QStringLiteral("#mnuAbout:1"), 48);
  place(MenuTop, 0, 90, 713, 25);

  auto item = [this](QMenu *menu, const char *name, const QString &caption, int index) {
    auto *action = new QAction(caption, this);
    action->setObjectName(QString::fromLatin1(name));
    if (index >= 0)
      action->setProperty("index", index);
    menu->addAction(action);
    return action;
  };
  mnuFileTop = new QMenu(QStringLiteral("&File"), this);
  mnuFileTop->setObjectName(QStringLiteral("mnuFileTop"));
  mnuOpen = item(mnuFileTop, "mnuOpen", QStringLiteral("&Open..."), 0);
  mnuOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  mnuOpen->setShortcutContext(Qt::WindowShortcut);
  addAction(mnuOpen);  // the shortcut works while the menu is closed
  mnuSep1 = mnuFileTop->addSeparator();
  mnuSep1->setObjectName(QStringLiteral("mnuSep1"));
  mnuExit = item(mnuFileTop, "mnuExit", QStringLiteral("E&xit"), -1);
  mnuHelpTop = new QMenu(QStringLiteral("&Help"), this);
  mnuHelpTop->setObjectName(QStringLiteral("mnuHelpTop"));
  mnuHelp = item(mnuHelpTop, "mnuHelp", QStringLiteral("Contents"), 0);
  mnuAbout = item(mnuHelpTop, "mnuAbout", QStringLiteral("&About..."), 1);
  MenuTop->addHookedMenu(mnuFileTop);
  MenuTop->addHookedMenu(mnuHelpTop);
}

void frmMain::createToolbarAndStatusBar() {
  NotesToolBar = new skin::SkinToolBar(this);
  NotesToolBar->setObjectName(QStringLiteral("NotesToolBar"));
  NotesToolBar->setImageList(SmallIcons);
  NotesToolBar->addButton(QStringLiteral("Open"), QStringLiteral("Open"), 61);
  NotesToolBar->addSeparator(QStringLiteral("Button21"));
  NotesToolBar->addButton(QStringLiteral("Convert"), QStringLiteral("Convert"), 37, false);
  NotesToolBar->addSeparator(QStringLiteral("Button18"));
  NotesToolBar->addButton(QStringLiteral("Help"), QStringLiteral("Help"), 47);
  place(NotesToolBar, 0, 115, 713, 41);

  StatusBar1 = new skin::SkinStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  place(StatusBar1, 0, 543, 696, 27);
  StatusBar1->addPanel(150, QString::fromLatin1(kMakerName), true);
  StatusBar1->addPanel(300, QStringLiteral("Email: ") + QString::fromLatin1(kSupportEmail));
  StatusBar1->addPanel(400, QString::fromLatin1(kWebAddress), true, QColor(0, 0, 255));
}

}  // namespace quillmar::forms
