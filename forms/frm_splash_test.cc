// The start-up sequence: the splash hands over to the main window on its
// first tick (after the skin's delay) or at once on a key, and the main
// window loads exactly once either way.

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/form_table.h"
#include "forms/frm_main.h"
#include "forms/frm_splash.h"
#include "forms/skin/skin_global.h"
#include "forms/testing/gui_test_support.h"
#include "platform/std_file_copy.h"
#include "session/testing/fake_session.h"

using namespace quillmar;

namespace {

// Calls `seen` from the event loop once an object is added to the
// application object (where the skin's global object lives).
class ChildWatcher : public QObject {
 public:
  explicit ChildWatcher(std::function<void()> seen) : m_seen(std::move(seen)) {
    qApp->installEventFilter(this);
  }
  ~ChildWatcher() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (watched == qApp && event->type() == QEvent::ChildAdded && m_seen) {
      QTimer::singleShot(0, this, m_seen);
      m_seen = nullptr;
    }
    return false;
  }

 private:
  std::function<void()> m_seen;
};

}  // namespace

class FrmSplashTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { forms::testing::prepareApplication(); }
  void init();
  void cleanup() { m_table.reset(); }

  // First, so that the splash is the global object's first user.
  void timerPathShowsMainAfterTheDelayThenUnloads();
  void keyBeforeFirstTickSkipsTheDelay();
  void keyDuringTheDelayHandsOverOnce();

 private:
  QTemporaryDir m_programDir;
  session::FakeSessionWorld m_world;
  forms::QtFileOpenDialogFactory m_dialogs;
  forms::QtFolderPicker m_folders;
  platform::StdFileCopier m_files;
  std::unique_ptr<forms::testing::TestRunEnvironment> m_environment;
  std::unique_ptr<forms::FormTable> m_table;
};

void FrmSplashTest::init() {
  m_environment = std::make_unique<forms::testing::TestRunEnvironment>(m_programDir.path().toStdString());
  m_table = std::make_unique<forms::FormTable>(forms::Services{.sessions = &m_world,
                                                               .dialogs = &m_dialogs,
                                                               .folders = &m_folders,
                                                               .files = &m_files,
                                                               .environment = m_environment.get()});
}

void FrmSplashTest::timerPathShowsMainAfterTheDelayThenUnloads() {
  QVERIFY(!skin::SkinGlobal::exists());
  QPointer<forms::frmSplash> splash = m_table->splashForm();
  QCOMPARE(splash->size(), QSize(341, 209));
  QVERIFY(splash->windowTitle().isEmpty());
  QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
  QCOMPARE(splash->Timer1()->interval(), 10);
  QVERIFY(splash->Timer1()->isActive());  // running from the moment it is loaded
  splash->show();
  QVERIFY(!m_table->isMainLoaded());

  // Watch for the global object being made (by the first tick), then look
  // at the main window while the delay runs and when it returns.
  bool mainLoadedDuringDelay = true, mainLoadedAtReturn = true;
  int delayAsked = 0, delaysWhenSeen = 0;
  QElapsedTimer clock;
  clock.start();
  qint64 returnedAfter = -1;
  QObject scope;  // ends the connections below with this test
  ChildWatcher watcher([&] {
    skin::SkinGlobal *global = skin::SkinGlobal::instance();
    delaysWhenSeen = global->delaysStarted();
    mainLoadedDuringDelay = m_table->isMainLoaded();
    connect(global, &skin::SkinGlobal::delayFinished, &scope, [&](int ms) {
      delayAsked = ms;
      mainLoadedAtReturn = m_table->isMainLoaded();
      returnedAfter = clock.elapsed();
    });
  });
  QTRY_VERIFY_WITH_TIMEOUT(m_table->isMainLoaded() && m_table->mainForm()->isVisible(), 8000);
  QCOMPARE(delaysWhenSeen, 1);
  QVERIFY(!mainLoadedDuringDelay);
  QCOMPARE(delayAsked, 4000);
  QVERIFY(!mainLoadedAtReturn);  // the main window comes only after the delay
  QVERIFY(returnedAfter >= 3900);
  QVERIFY(!m_table->isSplashLoaded());  // unloaded right after
  QVERIFY(!splash || !splash->isVisible());
  QTRY_VERIFY(splash.isNull());  // destroyed, with its timer
  QCOMPARE(m_table->mainForm()->formLoadCount(), 1);
  QCOMPARE(skin::SkinGlobal::instance()->delaysStarted(), 1);  // later ticks were not acted on
  QCOMPARE(skin::SkinGlobal::instance()->delaysFinished(), 1);
}

void FrmSplashTest::keyBeforeFirstTickSkipsTheDelay() {
  skin::SkinGlobal *global = skin::SkinGlobal::instance();
  const int delaysBefore = global->delaysStarted();
  QPointer<forms::frmSplash> splash = m_table->splashForm();
  splash->show();
  // No event has been processed yet, so the timer has not ticked.
  QTest::keyClick(splash.data(), Qt::Key_A);
  QVERIFY(!m_table->isSplashLoaded());
  QVERIFY(m_table->isMainLoaded());
  QVERIFY(m_table->mainForm()->isVisible());
  QTest::qWait(200);
  QVERIFY(splash.isNull());
  QCOMPARE(global->delaysStarted(), delaysBefore);  // never called
  QCOMPARE(m_table->mainForm()->formLoadCount(), 1);
}

void FrmSplashTest::keyDuringTheDelayHandsOverOnce() {
  skin::SkinGlobal *global = skin::SkinGlobal::instance();
  const int delaysBefore = global->delaysStarted();
  QPointer<forms::frmSplash> splash = m_table->splashForm();
  bool mainShownByKey = false, splashGoneAfterKey = false;
  QObject scope;  // ends the connection and the timer below with this test
  connect(global, &skin::SkinGlobal::delayStarted, &scope, [&] {
    QTimer::singleShot(100, &scope, [&] {
      if (splash)
        QTest::keyClick(splash.data(), Qt::Key_Space);
      mainShownByKey = m_table->isMainLoaded() && m_table->mainForm()->isVisible();
      splashGoneAfterKey = !m_table->isSplashLoaded();
    });
  });
  splash->show();
  QTRY_VERIFY_WITH_TIMEOUT(global->delaysFinished() == delaysBefore + 1, 8000);
  QVERIFY(mainShownByKey);      // at once, while the delay still ran
  QVERIFY(splashGoneAfterKey);
  QTRY_VERIFY(splash.isNull());
  QCOMPARE(global->delaysStarted(), delaysBefore + 1);
  QCOMPARE(m_table->mainForm()->formLoadCount(), 1);
  QVERIFY(m_table->mainForm()->isVisible());
  const QWidgetList windows = QApplication::topLevelWidgets();
  QCOMPARE(std::count_if(windows.begin(), windows.end(),
                         [](QWidget *w) { return w->isVisible(); }),
           qsizetype(1));
}

QTEST_MAIN(FrmSplashTest)
#include "frm_splash_test.moc"
