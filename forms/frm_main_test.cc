// Drives the real main window: its first display, the routing of every
// button, menu item and toolbar button, and the help, about and exit
// commands.

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <memory>

#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/form_table.h"
#include "forms/frm_about.h"
#include "forms/frm_main.h"
#include "forms/skin/hook_menu.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_form.h"
#include "forms/skin/skin_image_list.h"
#include "forms/skin/skin_status_bar.h"
#include "forms/skin/skin_toolbar.h"
#include "forms/testing/gui_test_support.h"
#include "platform/std_file_copy.h"
#include "session/testing/fake_session.h"

using namespace quillmar;
using forms::testing::DialogScript;

namespace {

template <typename T = QWidget>
T *child(QWidget *parent, const char *name) {
  T *found = parent->findChild<T *>(QString::fromLatin1(name));
  if (!found)
    qWarning("no control named %s", name);
  return found;
}

QImage imageOf(const QIcon &icon) { return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32); }

}  // namespace

class FrmMainTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { forms::testing::prepareApplication(); }
  void init();
  void cleanup();

  void firstDisplayWindow();
  void firstDisplayControls();
  void firstDisplayMenusToolbarStatusBar();
  void browseIsReachedFromFourPlaces();
  void convertIsReachedFromButtonAndToolbar();
  void toolbarSeparatorsAndOtherNumbersDoNothing();
  void helpOpensHelpFileBesideTheProgram();
  void helpWithoutHelpFileChangesNothing();
  void helpFileIsBuiltBesideTheProgram();
  void aboutIsModalOverTheMainWindowAndReopens();
  void exitAnsweredNoLeavesEverything();
  void exitAnsweredYesEndsTheProgram();
  void closingTheWindowEndsWithoutAsking();

 private:
  // Waits until the script has no answers left (or 5 s), then a bit more
  // so a dialog opened by mistake would be seen.
  void settle(DialogScript &script);
  void selectFakeStore(DialogScript &script, int32_t kind);

  std::unique_ptr<QTemporaryDir> m_programDir;
  std::unique_ptr<session::FakeSessionWorld> m_world;
  std::unique_ptr<forms::QtFileOpenDialogFactory> m_dialogs;
  std::unique_ptr<forms::QtFolderPicker> m_folders;
  std::unique_ptr<platform::StdFileCopier> m_files;
  std::unique_ptr<forms::testing::TestRunEnvironment> m_environment;
  std::unique_ptr<forms::FormTable> m_table;
  forms::frmMain *m_main = nullptr;
};

void FrmMainTest::init() {
  m_programDir = std::make_unique<QTemporaryDir>();
  QVERIFY(m_programDir->isValid());
  m_world = std::make_unique<session::FakeSessionWorld>();
  m_dialogs = std::make_unique<forms::QtFileOpenDialogFactory>();
  m_folders = std::make_unique<forms::QtFolderPicker>();
  m_files = std::make_unique<platform::StdFileCopier>();
  m_environment = std::make_unique<forms::testing::TestRunEnvironment>(m_programDir->path().toStdString());
  m_table = std::make_unique<forms::FormTable>(forms::Services{.sessions = m_world.get(),
                                                               .dialogs = m_dialogs.get(),
                                                               .folders = m_folders.get(),
                                                               .files = m_files.get(),
                                                               .environment = m_environment.get()});
  m_table->showMain();
  m_main = m_table->mainForm();
  QVERIFY(QTest::qWaitForWindowExposed(m_main));
  QApplication::setActiveWindow(m_main);
  QVERIFY(QTest::qWaitForWindowActive(m_main));
}

void FrmMainTest::cleanup() {
  m_table.reset();
  m_environment.reset();
  m_files.reset();
  m_folders.reset();
  m_dialogs.reset();
  m_world.reset();
  m_programDir.reset();
  m_main = nullptr;
}

void FrmMainTest::settle(DialogScript &script) {
  QTRY_COMPARE_WITH_TIMEOUT(script.pending(), 0, 5000);
  QTest::qWait(150);
}

void FrmMainTest::selectFakeStore(DialogScript &script, int32_t kind) {
  const QString path = m_programDir->filePath(QStringLiteral("source.pst"));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.close();
  m_world->PutStore(path.toStdString(), {.kind = kind, .folders = {{"Inbox"}, {"Sent Items"}}, .password = std::nullopt});
  script.expect(QStringLiteral("FileOpenDialog"), DialogScript::chooseFile(path));
  m_main->CmdBrowse_Click();
  settle(script);
  QCOMPARE(child<QLineEdit>(m_main, "txtNotesDatabaseFile")->text(), path);
}

void FrmMainTest::firstDisplayWindow() {
  QCOMPARE(m_main->windowTitle(), QStringLiteral("QUILLMAR v2.0 Build 1108"));
  QCOMPARE(m_main->size(), QSize(696, 570));
  QCOMPARE(m_main->minimumSize(), QSize(696, 570));
  QCOMPARE(m_main->maximumSize(), QSize(696, 570));
  QCOMPARE(m_main->formLoadCount(), 1);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QVERIFY(qAbs(m_main->geometry().center().x() - screen.center().x()) <= 1);
  QVERIFY(qAbs(m_main->geometry().center().y() - screen.center().y()) <= 1);
  QCOMPARE(m_main->font().family(), QStringLiteral("Tahoma"));
  QCOMPARE(m_main->font().pointSizeF(), 8.25);

  // The skin's title band replaces the system frame; maximising is off.
  auto *skin = child<skin::SkinForm>(m_main, "SkinForm1");
  QCOMPARE(skin->geometry(), QRect(0, 0, 696, 30));
  QVERIFY(skin->ownsTitleBar());
  QVERIFY(skin->maximizeDisabled());
  QVERIFY(m_main->windowFlags().testFlag(Qt::FramelessWindowHint));
  QVERIFY(!m_main->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  QVERIFY(!skin->maximizeButton()->isEnabled());
  QVERIFY(skin->closeButton()->isVisible());
  QCOMPARE(skin->font().family(), QStringLiteral("Trebuchet MS"));
  QCOMPARE(skin->font().pointSizeF(), 9.75);
  QVERIFY(skin->font().bold());

  // The window icon holds a 16 x 16 and a 32 x 32 image.
  const QList<QSize> sizes = m_main->windowIcon().availableSizes();
  QVERIFY(sizes.contains(QSize(16, 16)));
  QVERIFY(sizes.contains(QSize(32, 32)));
}

void FrmMainTest::firstDisplayControls() {
  struct Expected {
    const char *name;
    QRect geometry;
  };
  // Controls whose size is fixed by the design.
  const Expected fixed[] = {
      {"Image2", {-8, 88, 713, 2}},         {"MenuTop", {0, 90, 713, 25}},
      {"NotesToolBar", {0, 115, 713, 41}},  {"Image4", {16, 176, 131, 310}},
      {"txtNotesDatabaseFile", {160, 200, 401, 25}}, {"CmdBrowse", {568, 200, 105, 25}},
      {"OptUnicode", {160, 272, 249, 17}},  {"OptAnsi", {416, 272, 257, 17}},
      {"ScanFrame", {160, 304, 513, 137}},  {"ImgReadingArrow", {16, 56, 10, 16}},
      {"LblProcessing", {152, 80, 331, 37}}, {"CmdConvertPST", {336, 464, 145, 25}},
      {"Image1", {16, 512, 16, 16}},        {"StatusBar1", {0, 543, 696, 27}},
      {"Line1", {16, 504, 673, 1}},
  };
  for (const Expected &e : fixed) {
    QWidget *w = child(m_main, e.name);
    QVERIFY2(w, e.name);
    QVERIFY2(w->geometry() == e.geometry, e.name);
  }
  // Labels sit where designed and are at least as wide as designed (wider
  // only where the installed font needs the room).
  const Expected labels[] = {
      {"Label7", {15, 38, 58, 13}},   {"Label8", {14, 48, 144, 23}},  {"Label9", {16, 70, 282, 13}},
      {"Label3", {160, 184, 139, 13}}, {"Label4", {160, 248, 141, 13}}, {"Lbl", {11, 24, 96, 13}},
      {"LblSaveHeader", {32, 56, 123, 13}}, {"LblSubject", {32, 80, 113, 13}},
      {"SkinLabel1", {40, 512, 296, 17}}, {"LblPSTKind", {136, 24, 0, 13}},
      {"LblFolderName", {72, 104, 0, 13}},
  };
  for (const Expected &e : labels) {
    auto *l = child<QLabel>(m_main, e.name);
    QVERIFY2(l, e.name);
    QVERIFY2(l->pos() == e.geometry.topLeft() && l->height() == e.geometry.height(), e.name);
    QVERIFY2(l->width() >= e.geometry.width(), e.name);
    QVERIFY2(l->text().isEmpty() || l->width() >= l->sizeHint().width(), e.name);
  }

  auto *path = child<skin::SkinTextBox>(m_main, "txtNotesDatabaseFile");
  QVERIFY(path->text().isEmpty());
  QVERIFY(path->isLocked());
  QTest::keyClicks(path, QStringLiteral("typed"));
  QVERIFY(path->text().isEmpty());
  QCOMPARE(path->palette().color(QPalette::Base), QColor(Qt::white));

  auto *browse = child<QPushButton>(m_main, "CmdBrowse");
  QCOMPARE(browse->text(), QStringLiteral("Browse..."));
  QVERIFY(browse->isEnabled());
  QVERIFY(!browse->icon().isNull());
  QCOMPARE(browse->iconSize(), QSize(16, 16));

  auto *unicode = child<skin::SkinOptionButton>(m_main, "OptUnicode");
  auto *ansi = child<skin::SkinOptionButton>(m_main, "OptAnsi");
  QCOMPARE(unicode->text(), QStringLiteral("  Convert to Unicode (2003/2007) Format"));
  QCOMPARE(ansi->text(), QStringLiteral("  Convert to Ansi (2000/2002/XP) Format"));
  for (auto *option : {unicode, ansi}) {
    QVERIFY(option->isVisible());
    QVERIFY(!option->isSelected());
    QVERIFY(option->isAvailable());
    QCOMPARE(option->palette().color(QPalette::Active, QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(option->parentWidget(), static_cast<QWidget *>(m_main));  // not inside the frame
  }

  auto *frame = child<QGroupBox>(m_main, "ScanFrame");
  QCOMPARE(frame->title(), QStringLiteral(" Description "));
  QVERIFY(!frame->isVisible());
  auto *kind = child<QLabel>(m_main, "LblPSTKind");
  QVERIFY(kind->text().isEmpty());
  QVERIFY(kind->isVisibleTo(frame));
  QVERIFY(kind->font().bold());
  QCOMPARE(kind->palette().color(QPalette::WindowText), QColor(0, 0, 192));
  QCOMPARE(child<QLabel>(m_main, "Lbl")->text(), QStringLiteral("Selected PST file is :"));
  // Labels in the styled frame keep the window's design font.
  for (const char *name : {"Lbl", "LblSaveHeader", "LblProcessing", "LblFolderName"}) {
    QVERIFY2(child<QLabel>(m_main, name)->font().family() == QStringLiteral("Tahoma"), name);
    QVERIFY2(child<QLabel>(m_main, name)->font().pointSizeF() == 8.25, name);
  }
  QVERIFY(child<QLabel>(m_main, "Lbl")->isVisibleTo(frame));
  QVERIFY(child<QLabel>(m_main, "LblFolderName")->text().isEmpty());
  QVERIFY(child<QLabel>(m_main, "LblFolderName")->isVisibleTo(frame));
  auto *arrow = child<QLabel>(m_main, "ImgReadingArrow");
  QVERIFY(!arrow->isVisibleTo(frame));
  QCOMPARE(arrow->pixmap().size(), QSize(10, 16));
  auto *header = child<QLabel>(m_main, "LblSaveHeader");
  QCOMPARE(header->text(), QStringLiteral("Checking Configuration..."));
  QVERIFY(!header->isVisibleTo(frame));
  auto *subject = child<QLabel>(m_main, "LblSubject");
  QCOMPARE(subject->text(), QStringLiteral("Converting Folder :"));
  QVERIFY(subject->font().bold());
  QVERIFY(!subject->isVisibleTo(frame));
  auto *processing = child<QLabel>(m_main, "LblProcessing");
  QVERIFY(processing->text().isEmpty());
  QVERIFY(!processing->isVisibleTo(frame));

  auto *convert = child<QPushButton>(m_main, "CmdConvertPST");
  QCOMPARE(convert->text(), QStringLiteral("Start Conversion >"));
  QVERIFY(!convert->isEnabled());

  // Static texts and pictures.
  QCOMPARE(child<QLabel>(m_main, "Label7")->text(), QStringLiteral("Brantwick"));
  QCOMPARE(child<QLabel>(m_main, "Label7")->font().family(), QStringLiteral("Verdana"));
  QVERIFY(child<QLabel>(m_main, "Label7")->font().bold());
  auto *label8 = child<QLabel>(m_main, "Label8");
  QCOMPARE(label8->text(), QStringLiteral("QUILLMAR"));
  QCOMPARE(label8->font().pointSizeF(), 14.25);
  QVERIFY(label8->font().bold());
  QCOMPARE(label8->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  QCOMPARE(child<QLabel>(m_main, "Label9")->text(),
           QStringLiteral("Convert Ansi Outlook PST files to Unicode Outlook PST files"));
  QCOMPARE(child<QLabel>(m_main, "Label3")->text(), QStringLiteral("Select Outlook PST File (.pst)"));
  QCOMPARE(child<QLabel>(m_main, "Label4")->text(), QStringLiteral("Choose an action to perform:"));
  QCOMPARE(child<QLabel>(m_main, "SkinLabel1")->text(),
           QStringLiteral("Supports Outlook 2000, 2002 (XP), 2003, 2007"));
  QCOMPARE(child<QLabel>(m_main, "Image4")->pixmap().size(), QSize(127, 306));
  QCOMPARE(child<QLabel>(m_main, "Image2")->pixmap().size(), QSize(497, 2));
  QCOMPARE(child<QLabel>(m_main, "Image1")->pixmap().size(), QSize(16, 16));
  QCOMPARE(child(m_main, "Line1")->palette().color(QPalette::Window), QColor(192, 192, 192));
}

void FrmMainTest::firstDisplayMenusToolbarStatusBar() {
  auto *menu = child<skin::HookMenu>(m_main, "MenuTop");
  QCOMPARE(menu->actions().size(), 2);
  QCOMPARE(menu->actions()[0]->text(), QStringLiteral("&File "));
  QCOMPARE(menu->actions()[1]->text(), QStringLiteral("&Help "));
  auto *images = m_main->findChild<skin::SkinImageList *>(QStringLiteral("SmallIcons"));
  QVERIFY(images);
  QCOMPARE(images->imageSize(), QSize(16, 16));
  QCOMPARE(images->image(61).size(), QSize(16, 16));
  QVERIFY(images->image(61).hasAlphaChannel());

  struct Item {
    const char *name;
    QString caption;
    int index;  // -1: not in a control array
    int image;  // 0: none
  };
  const Item fileItems[] = {{"mnuOpen", QStringLiteral("&Open..."), 0, 61},
                            {"mnuSep1", QString(), -1, 0},
                            {"mnuExit", QStringLiteral("E&xit"), -1, 0}};
  const Item helpItems[] = {{"mnuHelp", QStringLiteral("Contents"), 0, 47},
                            {"mnuAbout", QStringLiteral("&About..."), 1, 48}};
  auto check = [&](QMenu *m, const Item *items, int count) {
    QCOMPARE(m->actions().size(), count);
    for (int i = 0; i < count; ++i) {
      QAction *a = m->actions()[i];
      QCOMPARE(a->objectName(), QString::fromLatin1(items[i].name));
      if (items[i].caption.isEmpty()) {
        QVERIFY(a->isSeparator());
        continue;
      }
      QCOMPARE(a->text(), items[i].caption);
      QCOMPARE(a->property("index").isValid() ? a->property("index").toInt() : -1, items[i].index);
      if (items[i].image)
        QCOMPARE(imageOf(a->icon()), images->image(items[i].image).toImage().convertToFormat(QImage::Format_ARGB32));
      else
        QVERIFY(a->icon().isNull());
    }
  };
  check(menu->actions()[0]->menu(), fileItems, 3);
  check(menu->actions()[1]->menu(), helpItems, 2);
  QCOMPARE(m_main->findChild<QAction *>(QStringLiteral("mnuOpen"))->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
  QCOMPARE(skin::HookMenu::itemKey(m_main->findChild<QAction *>(QStringLiteral("mnuAbout"))), QStringLiteral("#mnuAbout:1"));

  auto *toolbar = child<skin::SkinToolBar>(m_main, "NotesToolBar");
  QCOMPARE(toolbar->count(), 5);
  const struct {
    const char *name;
    bool separator;
    bool enabled;
    int image;
  } buttons[] = {{"Open", false, true, 61}, {"Button21", true, true, 0}, {"Convert", false, false, 37},
                 {"Button18", true, true, 0}, {"Help", false, true, 47}};
  for (int n = 1; n <= 5; ++n) {
    const auto &b = buttons[n - 1];
    QWidget *item = toolbar->button(n);
    QCOMPARE(item->objectName(), QString::fromLatin1(b.name));
    QCOMPARE(toolbar->isSeparator(n), b.separator);
    QCOMPARE(item->isEnabled(), b.enabled);
    if (auto *tool = qobject_cast<QToolButton *>(item)) {
      QCOMPARE(tool->text(), QString::fromLatin1(b.name));
      QCOMPARE(tool->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
      QCOMPARE(imageOf(tool->icon()), images->image(b.image).toImage().convertToFormat(QImage::Format_ARGB32));
    }
  }
  QVERIFY(!toolbar->button(0));
  QVERIFY(!toolbar->button(6));

  auto *status = child<skin::SkinStatusBar>(m_main, "StatusBar1");
  QCOMPARE(status->panelCount(), 3);
  QCOMPARE(status->panel(1)->text(), QStringLiteral("Brantwick"));
  QVERIFY(status->panel(1)->font().bold());
  QCOMPARE(status->panel(1)->width(), 150);
  QCOMPARE(status->panel(2)->text(), QStringLiteral("Email: support@brantwick.com"));
  QVERIFY(!status->panel(2)->font().bold());
  QCOMPARE(status->panel(2)->width(), 300);
  QCOMPARE(status->panel(3)->text(), QStringLiteral("www.brantwick.com"));
  QVERIFY(status->panel(3)->font().bold());
  QCOMPARE(status->panel(3)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  QVERIFY(status->panel(3)->width() > status->fontMetrics().horizontalAdvance(status->panel(3)->text()));
}

void FrmMainTest::browseIsReachedFromFourPlaces() {
  DialogScript script;
  auto *toolbar = child<skin::SkinToolBar>(m_main, "NotesToolBar");
  const std::function<void()> sources[] = {
      [&] { QTest::mouseClick(child(m_main, "CmdBrowse"), Qt::LeftButton); },
      [&] {
        // The shortcut works in the active window; the last dialog took
        // the activation with it.
        QApplication::setActiveWindow(m_main);
        QVERIFY(QTest::qWaitForWindowActive(m_main));
        QTest::keyClick(m_main, Qt::Key_O, Qt::ControlModifier);
      },
      [&] { m_main->findChild<QAction *>(QStringLiteral("mnuOpen"))->trigger(); },
      [&] { QTest::mouseClick(toolbar->button(1), Qt::LeftButton); },
  };
  int expected = 0;
  for (const auto &source : sources) {
    script.expect(QStringLiteral("FileOpenDialog"), DialogScript::cancel());
    source();
    settle(script);
    ++expected;
    QCOMPARE(script.seenCount(QStringLiteral("FileOpenDialog")), expected);
  }
  // The Open item with another index runs nothing.
  m_main->mnuOpen_Click(1);
  QTest::qWait(150);
  QCOMPARE(script.seen().size(), expected);
  QVERIFY(script.unexpected().isEmpty());
  QCOMPARE(m_world->sessions_created(), 0);  // every dialog was cancelled
}

void FrmMainTest::convertIsReachedFromButtonAndToolbar() {
  DialogScript script;
  selectFakeStore(script, session::kStoreKindAnsi);
  auto *convert = child<QPushButton>(m_main, "CmdConvertPST");
  auto *toolbar = child<skin::SkinToolBar>(m_main, "NotesToolBar");
  QVERIFY(convert->isEnabled());
  QVERIFY(toolbar->button(3)->isEnabled());

  script.expect(QStringLiteral("FolderPicker"), DialogScript::cancel());
  QTest::mouseClick(convert, Qt::LeftButton);
  settle(script);
  QCOMPARE(script.seenCount(QStringLiteral("FolderPicker")), 1);
  QVERIFY(!convert->isEnabled());  // a cancelled picker disables the button only

  // Toolbar button 3 still starts a run while the button is disabled.
  script.expect(QStringLiteral("FolderPicker"), DialogScript::cancel());
  QTest::mouseClick(toolbar->button(3), Qt::LeftButton);
  settle(script);
  QCOMPARE(script.seenCount(QStringLiteral("FolderPicker")), 2);

  // A disabled toolbar button raises nothing.
  toolbar->setButtonEnabled(3, false);
  QTest::mouseClick(toolbar->button(3), Qt::LeftButton);
  QTest::qWait(150);
  QCOMPARE(script.seenCount(QStringLiteral("FolderPicker")), 2);
  QVERIFY(script.unexpected().isEmpty());
}

void FrmMainTest::toolbarSeparatorsAndOtherNumbersDoNothing() {
  DialogScript script;
  forms::testing::UrlCatcher urls;
  auto *toolbar = child<skin::SkinToolBar>(m_main, "NotesToolBar");
  toolbar->setButtonEnabled(3, true);
  QSignalSpy clicks(toolbar, &skin::SkinToolBar::buttonClick);
  QTest::mouseClick(toolbar->button(2), Qt::LeftButton);
  QTest::mouseClick(toolbar->button(4), Qt::LeftButton);
  QCOMPARE(clicks.count(), 0);
  for (qint16 number : {qint16(0), qint16(2), qint16(4), qint16(6), qint16(-1), qint16(100)})
    m_main->NotesToolBar_ButtonClick(number);
  QTest::qWait(200);
  QVERIFY(script.seen().isEmpty());
  QVERIFY(urls.urls().isEmpty());

  // Button 5 runs the help command, once.
  QTest::mouseClick(toolbar->button(5), Qt::LeftButton);
  QCOMPARE(clicks.count(), 1);
  QCOMPARE(clicks[0][0].toInt(), 5);
  QCOMPARE(urls.urls().size(), 1);
  QVERIFY(script.seen().isEmpty());
}

void FrmMainTest::helpOpensHelpFileBesideTheProgram() {
  QFile help(m_programDir->filePath(QStringLiteral("Help.chm")));
  QVERIFY(help.open(QIODevice::WriteOnly));
  help.write("ITSF");
  help.close();
  forms::testing::UrlCatcher urls;
  DialogScript script;
  m_main->findChild<QAction *>(QStringLiteral("mnuHelp"))->trigger();
  m_main->mnuHelp_Click(5);  // any index runs the help
  QCOMPARE(urls.urls().size(), 2);
  for (const QUrl &url : urls.urls())
    QCOMPARE(url, QUrl::fromLocalFile(m_programDir->path() + QStringLiteral("/Help.chm")));
  QTest::qWait(100);
  QVERIFY(script.seen().isEmpty());
}

void FrmMainTest::helpWithoutHelpFileChangesNothing() {
  forms::testing::UrlCatcher urls;
  DialogScript script;
  QVERIFY(!QFile::exists(m_programDir->filePath(QStringLiteral("Help.chm"))));
  QTest::mouseClick(child<skin::SkinToolBar>(m_main, "NotesToolBar")->button(5), Qt::LeftButton);
  QCOMPARE(urls.urls().size(), 1);  // handed to the viewer, which reports it
  QTest::qWait(150);
  QVERIFY(script.seen().isEmpty());
  QVERIFY(m_main->isVisible());
  QVERIFY(!child(m_main, "ScanFrame")->isVisible());
  QVERIFY(child<QLineEdit>(m_main, "txtNotesDatabaseFile")->text().isEmpty());
}

void FrmMainTest::helpFileIsBuiltBesideTheProgram() {
  QFile help(QStringLiteral(QUILLMAR_BIN_DIR "/Help.chm"));
  QVERIFY2(help.open(QIODevice::ReadOnly), "the build puts Help.chm beside the program");
  QCOMPARE(help.read(4), QByteArray("ITSF"));  // a compiled HTML help file
  QVERIFY(help.size() > 4096);
}

void FrmMainTest::aboutIsModalOverTheMainWindowAndReopens() {
  DialogScript script;
  for (int round = 1; round <= 2; ++round) {
    // Seen while the window is open; checked once the command returned.
    QWidget *owner = nullptr;
    bool aboutIsActiveModal = false, isModal = false, stillOpenAfterEscape = false;
    QString title;
    QSize size, pictureSize;
    QPoint centre;
    script.expect(QStringLiteral("frmAbout"), [&](QWidget *w) {
      aboutIsActiveModal = QApplication::activeModalWidget() == w && qobject_cast<forms::frmAbout *>(w);
      isModal = w->isModal();
      owner = w->parentWidget();
      title = w->windowTitle();
      size = w->size();
      if (auto *picture = w->findChild<QLabel *>(QStringLiteral("Picture")))
        pictureSize = picture->pixmap().size();
      centre = w->geometry().center();
      QTest::keyClick(w, Qt::Key_Escape);  // only the close control closes it
      stillOpenAfterEscape = w->isVisible();
      w->close();
    });
    if (round == 1)
      m_main->findChild<QAction *>(QStringLiteral("mnuAbout"))->trigger();
    else
      m_main->mnuAbout_Click(0);
    // The command returns only once the window is closed.
    QCOMPARE(script.seenCount(QStringLiteral("frmAbout")), round);
    QVERIFY(aboutIsActiveModal);  // the main window takes no input meanwhile
    QVERIFY(isModal);
    QCOMPARE(owner, static_cast<QWidget *>(m_main));
    QCOMPARE(title, QStringLiteral("About - Brantwick QUILLMAR"));
    QCOMPARE(size, QSize(341, 209));
    QCOMPARE(pictureSize, QSize(341, 209));
    QVERIFY2((centre - m_main->geometry().center()).manhattanLength() <= 4,
             qPrintable(QStringLiteral("about centred at %1,%2").arg(centre.x()).arg(centre.y())));
    QVERIFY(stillOpenAfterEscape);
    QCOMPARE(script.seenCount(QStringLiteral("frmAbout")), round);
    QVERIFY(!QApplication::activeModalWidget());
  }
  QVERIFY(script.unexpected().isEmpty());
}

void FrmMainTest::exitAnsweredNoLeavesEverything() {
  DialogScript script;
  selectFakeStore(script, session::kStoreKindUnicode);
  auto *path = child<QLineEdit>(m_main, "txtNotesDatabaseFile");
  const QString before = path->text();
  const int16_t sourceKind = m_main->global().SourceKind;
  script.expect(QStringLiteral("PlainMessageBox"), DialogScript::press(QStringLiteral("No")));
  const int rc = forms::testing::runInEventLoop(
      [&] { m_main->findChild<QAction *>(QStringLiteral("mnuExit"))->trigger(); }, 300, 42);
  QCOMPARE(rc, 42);  // still running
  QCOMPARE(script.lastMessageText(), QStringLiteral("Are you sure you want to close the software"));
  QCOMPARE(script.lastMessageTitle(), QStringLiteral("QUILLMAR"));
  QVERIFY(m_main->isVisible());
  QCOMPARE(path->text(), before);
  QCOMPARE(m_main->global().SourceKind, sourceKind);
  QVERIFY(child(m_main, "ScanFrame")->isVisible());
  QVERIFY(child<skin::SkinOptionButton>(m_main, "OptAnsi")->isSelected());
  QVERIFY(child<QPushButton>(m_main, "CmdConvertPST")->isEnabled());
}

void FrmMainTest::exitAnsweredYesEndsTheProgram() {
  DialogScript script;
  script.expect(QStringLiteral("PlainMessageBox"), [](QWidget *w) {
    auto *box = qobject_cast<QMessageBox *>(w);
    QCOMPARE(box->icon(), QMessageBox::Information);
    QCOMPARE(box->buttons().size(), 2);
    DialogScript::press(QStringLiteral("Yes"))(w);
  });
  const int rc = forms::testing::runInEventLoop([&] { m_main->mnuExit_Click(); }, 3000, 42);
  QCOMPARE(rc, 0);
  QCOMPARE(script.seenCount(QStringLiteral("PlainMessageBox")), 1);
  QVERIFY(!m_main->isVisible());
}

void FrmMainTest::closingTheWindowEndsWithoutAsking() {
  DialogScript script;
  const int rc = forms::testing::runInEventLoop([&] { m_main->close(); }, 3000, 42);
  QCOMPARE(rc, 0);
  QVERIFY(script.seen().isEmpty());
  QVERIFY(!m_main->isVisible());
}

QTEST_MAIN(FrmMainTest)
#include "frm_main_test.moc"
