// The skinned controls and the Qt dialogs on their own: what the windows
// rely on of each (numbering, keys, flags, modality, return values).

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include "forms/dialogs/message_box.h"
#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/skin/hook_menu.h"
#include "forms/skin/message_style.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_form.h"
#include "forms/skin/skin_global.h"
#include "forms/skin/skin_image_list.h"
#include "forms/skin/skin_status_bar.h"
#include "forms/skin/skin_toolbar.h"
#include "forms/testing/gui_test_support.h"

using namespace quillmar;
using forms::testing::DialogScript;

class SkinTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { forms::testing::prepareApplication(); }

  void toolbarNumbersItemsWithSeparatorsAndReportsOnlyEnabledButtons();
  void hookMenuDrawsImagesByItemKey();
  void optionButtonsKeepWhatCodeSetsAndExcludeOnUserChoice();
  void skinFormOwnsTheTitleBar();
  void statusBarPanelsSitSideBySide();
  void globalObjectIsOneAndItsDelayKeepsTheLoopRunning();
  void skinnedMessageBoxIsModalAndReturnsTheButton();
  void messageStylesDecode();
  void plainMessageBoxReturnsTheButtonNumber();
  void fileDialogFiltersBecomeQtNameFilters();
  void folderPickerWithoutOwnerLeavesOtherWindowsUsable();
};

void SkinTest::toolbarNumbersItemsWithSeparatorsAndReportsOnlyEnabledButtons() {
  skin::SkinImageList images;
  QVERIFY(images.setImage(7, QPixmap(16, 16)));
  QVERIFY(!images.setImage(0, QPixmap(16, 16)));
  QVERIFY(images.setImage(8, QPixmap(32, 32)));  // scaled to the list's size
  QCOMPARE(images.image(8).size(), QSize(16, 16));
  QVERIFY(images.image(9).isNull());

  skin::SkinToolBar bar;
  bar.setImageList(&images);
  bar.addButton(QStringLiteral("A"), QStringLiteral("A"), 7);
  bar.addSeparator(QStringLiteral("S"));
  bar.addButton(QStringLiteral("B"), QStringLiteral("B"), 8, false);
  QCOMPARE(bar.count(), 3);
  QCOMPARE(bar.button(2)->objectName(), QStringLiteral("S"));
  QVERIFY(bar.isSeparator(2));
  QVERIFY(!bar.isSeparator(1));
  QVERIFY(!bar.button(0) && !bar.button(4));
  QVERIFY(!bar.setButtonEnabled(4, true));
  QSignalSpy clicks(&bar, &skin::SkinToolBar::buttonClick);
  qobject_cast<QToolButton *>(bar.button(3))->click();  // disabled: nothing
  QCOMPARE(clicks.count(), 0);
  QVERIFY(bar.setButtonEnabled(3, true));
  bar.refresh();
  qobject_cast<QToolButton *>(bar.button(3))->click();
  qobject_cast<QToolButton *>(bar.button(1))->click();
  QCOMPARE(clicks.count(), 2);
  QCOMPARE(clicks[0][0].toInt(), 3);
  QCOMPARE(clicks[1][0].toInt(), 1);
}

void SkinTest::hookMenuDrawsImagesByItemKey() {
  skin::SkinImageList images;
  QPixmap red(16, 16);
  red.fill(Qt::red);
  images.setImage(5, red);
  QWidget window;
  skin::HookMenu bar(&window);
  bar.setImageList(&images);
  bar.setItemImage(QStringLiteral("#mnuGo:2"), 5);
  auto *menu = new QMenu(QStringLiteral("&Go"), &window);
  QAction *inArray = menu->addAction(QStringLiteral("Go"));
  inArray->setObjectName(QStringLiteral("mnuGo"));
  inArray->setProperty("index", 2);
  QAction *otherIndex = menu->addAction(QStringLiteral("Go again"));
  otherIndex->setObjectName(QStringLiteral("mnuGo"));
  otherIndex->setProperty("index", 1);
  bar.addHookedMenu(menu);
  QCOMPARE(bar.actions()[0]->text(), QStringLiteral("&Go "));
  QCOMPARE(skin::HookMenu::itemKey(inArray), QStringLiteral("#mnuGo:2"));
  QVERIFY(!inArray->icon().isNull());
  QVERIFY(otherIndex->icon().isNull());
  // An item added later gets its image when the menu opens.
  QAction *later = menu->addAction(QStringLiteral("Later"));
  later->setObjectName(QStringLiteral("mnuLater"));
  QCOMPARE(skin::HookMenu::itemKey(later), QStringLiteral("#mnuLater:"));
  bar.setItemImage(QStringLiteral("#mnuLater:"), 5);
  QVERIFY(!later->icon().isNull());
}

void SkinTest::optionButtonsKeepWhatCodeSetsAndExcludeOnUserChoice() {
  QWidget window;
  skin::SkinOptionButton a(QStringLiteral("a"), &window), b(QStringLiteral("b"), &window);
  a.setGeometry(0, 0, 100, 20);
  b.setGeometry(0, 30, 100, 20);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  a.setSelected(true);
  b.setSelected(true);  // code: both as set
  QVERIFY(a.isSelected() && b.isSelected());
  b.setSelected(false);
  a.setSelected(false);  // and both can be cleared
  QVERIFY(!a.isSelected() && !b.isSelected());

  QTest::mouseClick(&a, Qt::LeftButton, {}, QPoint(8, 10));
  QVERIFY(a.isSelected());
  QTest::mouseClick(&b, Qt::LeftButton, {}, QPoint(8, 10));
  QVERIFY(b.isSelected() && !a.isSelected());
  QTest::mouseClick(&b, Qt::LeftButton, {}, QPoint(8, 10));  // a second click keeps it chosen
  QVERIFY(b.isSelected());

  a.setAvailable(false);
  QVERIFY(!a.isAvailable());
  QTest::mouseClick(&a, Qt::LeftButton, {}, QPoint(8, 10));  // an unavailable option cannot be chosen
  QVERIFY(!a.isSelected() && b.isSelected());
  QVERIFY(a.palette().color(QPalette::Disabled, QPalette::WindowText) !=
          a.palette().color(QPalette::Active, QPalette::WindowText));  // shown greyed
}

void SkinTest::skinFormOwnsTheTitleBar() {
  QWidget window;
  window.setWindowTitle(QStringLiteral("Caption"));
  window.resize(300, 200);
  auto *band = new skin::SkinForm(&window);
  band->setGeometry(0, 0, 300, 30);
  band->attach(&window, true);
  band->setMaximizeDisabled(true);
  QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
  QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  QVERIFY(!band->maximizeButton()->isEnabled());
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  // Double-clicking the band does not maximise; its close button closes.
  QTest::mouseDClick(band, Qt::LeftButton, {}, QPoint(60, 15));
  QVERIFY(!window.isMaximized());
  band->closeButton()->click();
  QVERIFY(!window.isVisible());

  QWidget plain;
  auto *other = new skin::SkinForm(&plain);
  other->attach(&plain, false);
  QVERIFY(!plain.windowFlags().testFlag(Qt::FramelessWindowHint));
  QVERIFY(!other->closeButton()->isVisibleTo(other));
}

void SkinTest::statusBarPanelsSitSideBySide() {
  skin::SkinStatusBar bar;
  bar.resize(400, 27);
  bar.addPanel(100, QStringLiteral("one"), true);
  bar.addPanel(150, QStringLiteral("two"));
  bar.addPanel(400, QStringLiteral("three"), false, Qt::blue);
  QCOMPARE(bar.panelCount(), 3);
  QCOMPARE(bar.panel(1)->objectName(), QStringLiteral("Panel1"));
  QVERIFY(bar.panel(1)->font().bold());
  QVERIFY(bar.panel(2)->x() > bar.panel(1)->geometry().right());
  QVERIFY(bar.panel(3)->x() > bar.panel(2)->geometry().right());
  QVERIFY(bar.panel(3)->geometry().right() < bar.width());  // stops before the gripper
  QCOMPARE(bar.panel(3)->palette().color(QPalette::WindowText), QColor(Qt::blue));
  QVERIFY(!bar.panel(0) && !bar.panel(4));
}

void SkinTest::globalObjectIsOneAndItsDelayKeepsTheLoopRunning() {
  skin::SkinGlobal *global = skin::SkinGlobal::instance();
  QCOMPARE(skin::SkinGlobal::instance(), global);
  QVERIFY(skin::SkinGlobal::exists());
  int ticks = 0;
  QTimer ticker;
  connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  QElapsedTimer clock;
  clock.start();
  const int started = global->delaysStarted();
  qint32 ms = 300;
  global->delay(ms);
  QVERIFY(clock.elapsed() >= 300);
  QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));  // the loop ran meanwhile
  QCOMPARE(ms, 300);
  QCOMPARE(global->delaysStarted(), started + 1);
  QCOMPARE(global->delaysFinished(), started + 1);
  clock.restart();
  qint32 none = -5;
  global->delay(none);
  QVERIFY(clock.elapsed() < 100);
}

void SkinTest::skinnedMessageBoxIsModalAndReturnsTheButton() {
  DialogScript script;
  QString prompt;
  bool modal = false;
  script.expect(QStringLiteral("SkinnedMessageBox"), [&](QWidget *w) {
    modal = QApplication::activeModalWidget() == w;
    prompt = w->findChild<QLabel *>(QStringLiteral("Prompt"))->text();
    DialogScript::press(QStringLiteral("OK"))(w);
  });
  const int result = skin::SkinGlobal::instance()->SkinnedMessageBox(
      QStringLiteral("Conversion Completed\r\nPST File Name : /x.pst"), 64, QStringLiteral("QUILLMAR"));
  QCOMPARE(result, skin::kMessageOk);
  QVERIFY(modal);
  QCOMPARE(prompt, QStringLiteral("Conversion Completed\nPST File Name : /x.pst"));
  QCOMPARE(script.lastMessageTitle(), QStringLiteral("QUILLMAR"));

  script.expect(QStringLiteral("SkinnedMessageBox"), DialogScript::press(QStringLiteral("No")));
  QCOMPARE(skin::SkinGlobal::instance()->SkinnedMessageBox(QStringLiteral("?"), 68, QStringLiteral("Q")),
           skin::kMessageNo);
}

void SkinTest::messageStylesDecode() {
  const skin::MessageStyle info = skin::decodeMessageStyle(64);
  QCOMPARE(int(info.icon), int(skin::MessageIcon::kInformation));
  QCOMPARE(info.buttons.size(), 1);
  QCOMPARE(info.buttons[0].result, skin::kMessageOk);
  QCOMPARE(info.closeResult, skin::kMessageOk);
  const skin::MessageStyle yesNo = skin::decodeMessageStyle(68);
  QCOMPARE(int(yesNo.icon), int(skin::MessageIcon::kInformation));
  QCOMPARE(yesNo.buttons.size(), 2);
  QCOMPARE(yesNo.buttons[0].result, skin::kMessageYes);
  QCOMPARE(yesNo.buttons[1].result, skin::kMessageNo);
  QCOMPARE(yesNo.closeResult, 0);  // only Yes or No closes it
  QCOMPARE(int(skin::decodeMessageStyle(16).icon), int(skin::MessageIcon::kCritical));
  QCOMPARE(int(skin::decodeMessageStyle(32 + 3).icon), int(skin::MessageIcon::kQuestion));
  QCOMPARE(skin::decodeMessageStyle(32 + 3).buttons.size(), 3);
  QCOMPARE(int(skin::decodeMessageStyle(48).icon), int(skin::MessageIcon::kWarning));
  QCOMPARE(int(skin::decodeMessageStyle(0).icon), int(skin::MessageIcon::kNone));
}

void SkinTest::plainMessageBoxReturnsTheButtonNumber() {
  DialogScript script;
  script.expect(QStringLiteral("PlainMessageBox"), DialogScript::press(QStringLiteral("Yes")));
  QCOMPARE(forms::ShowPlainMessageBox(nullptr, QStringLiteral("Sure?"), QStringLiteral("QUILLMAR"), 68),
           skin::kMessageYes);
  script.expect(QStringLiteral("PlainMessageBox"), DialogScript::press(QStringLiteral("No")));
  QCOMPARE(forms::ShowPlainMessageBox(nullptr, QStringLiteral("Sure?"), QStringLiteral("QUILLMAR"), 68),
           skin::kMessageNo);
  script.expect(QStringLiteral("PlainMessageBox"), [](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); });
  QCOMPARE(forms::ShowPlainMessageBox(nullptr, QStringLiteral("a\r\nb"), QStringLiteral("T"), 64),
           skin::kMessageOk);
  QCOMPARE(script.lastMessageText(), QStringLiteral("a\nb"));
}

void SkinTest::fileDialogFiltersBecomeQtNameFilters() {
  using forms::QtFileOpenDialog;
  QCOMPARE(QtFileOpenDialog::QtNameFilters("Outlook Personal Storage File (*.pst)|*.pst"),
           std::string("Outlook Personal Storage File (*.pst)"));
  QCOMPARE(QtFileOpenDialog::QtNameFilters("Stores|*.pst;*.ost|All files|*"),
           std::string("Stores (*.pst *.ost);;All files (*)"));
  QCOMPARE(QtFileOpenDialog::QtNameFilters(""), std::string());
  QCOMPARE(QtFileOpenDialog::QtNameFilters("no pattern"), std::string());
}

void SkinTest::folderPickerWithoutOwnerLeavesOtherWindowsUsable() {
  QTemporaryDir dir;
  QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
  const QString folder = dir.filePath(QStringLiteral("out"));
  forms::QtFolderPicker picker;
  DialogScript script;
  bool modal = true;
  QString title;
  script.expect(QStringLiteral("FolderPicker"), [&](QWidget *w) {
    modal = QApplication::activeModalWidget() != nullptr;
    title = w->windowTitle();
    DialogScript::chooseFolder(folder)(w);
  });
  QCOMPARE(QString::fromStdString(picker.PickFolder(platform::kNoOwner, "Pick one")), folder);
  QVERIFY(!modal);
  QCOMPARE(title, QStringLiteral("Pick one"));

  script.expect(QStringLiteral("FolderPicker"), DialogScript::cancel());
  QCOMPARE(picker.PickFolder(platform::kNoOwner, "Pick"), std::string());
}

QTEST_MAIN(SkinTest)
#include "skin_test.moc"
