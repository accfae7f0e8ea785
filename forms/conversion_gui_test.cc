// A whole conversion through the real main window: the file-open dialog
// and the folder picker are the real Qt dialogs, answered as a user would,
// and the run ends with the completion notice and a new store on disk.
//
// Two sessions drive it: a scripted one, which shows the window's side of
// every stage, and the engine-backed one on a real sample store, end to end.

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "core/global.h"
#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/form_table.h"
#include "forms/frm_main.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_toolbar.h"
#include "forms/testing/gui_test_support.h"
#include "platform/std_file_copy.h"
#include "session/pst_session.h"
#include "session/testing/fake_session.h"

using namespace quillmar;
using forms::testing::DialogScript;

namespace {

QByteArray sha256(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&f);
  return hash.result();
}

}  // namespace

class ConversionGuiTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { forms::testing::prepareApplication(); }
  void cleanup() { m_table.reset(); }

  void browseAndConvertWithScriptedSession();
  void browseAndConvertRealSampleStore();

 private:
  forms::frmMain *openMain(session::SessionFactory *sessions, const QString &programFolder);
  void waitForAnswers(DialogScript &script, int timeoutMs);
  template <typename T = QWidget>
  T *control(const char *name) { return m_main->findChild<T *>(QString::fromLatin1(name)); }

  forms::QtFileOpenDialogFactory m_dialogs;
  forms::QtFolderPicker m_folders;
  platform::StdFileCopier m_files;
  std::unique_ptr<forms::testing::TestRunEnvironment> m_environment;
  std::unique_ptr<forms::FormTable> m_table;
  forms::frmMain *m_main = nullptr;
};

forms::frmMain *ConversionGuiTest::openMain(session::SessionFactory *sessions,
                                            const QString &programFolder) {
  m_environment = std::make_unique<forms::testing::TestRunEnvironment>(programFolder.toStdString());
  m_table = std::make_unique<forms::FormTable>(forms::Services{.sessions = sessions,
                                                               .dialogs = &m_dialogs,
                                                               .folders = &m_folders,
                                                               .files = &m_files,
                                                               .environment = m_environment.get()});
  m_table->showMain();
  m_main = m_table->mainForm();
  if (!QTest::qWaitForWindowExposed(m_main))
    qWarning("main window not exposed");
  return m_main;
}

void ConversionGuiTest::waitForAnswers(DialogScript &script, int timeoutMs) {
  QTRY_COMPARE_WITH_TIMEOUT(script.pending(), 0, timeoutMs);
  QTest::qWait(150);
}

void ConversionGuiTest::browseAndConvertWithScriptedSession() {
  QTemporaryDir program, source, target;
  // A template file that the scripted session opens as an empty Unicode
  // store with leftovers in its top folder, which the run must delete.
  session::FakeSessionWorld world;
  world.DefineImage("unicode-template", {.kind = session::kStoreKindUnicode, .folders = {{"Old"}}, .password = std::nullopt});
  QFile templ(program.filePath(QStringLiteral("xport.def")));
  QVERIFY(templ.open(QIODevice::WriteOnly));
  templ.write("unicode-template");
  templ.close();
  const QString sourcePath = source.filePath(QStringLiteral("archive 2003.pst"));
  QFile sourceFile(sourcePath);
  QVERIFY(sourceFile.open(QIODevice::WriteOnly));
  sourceFile.close();
  world.PutStore(sourcePath.toStdString(),
                 {.kind = session::kStoreKindAnsi,
                  .folders = {{"Inbox", {{"Projects"}}}, {"Sent Items"}, {"Deleted Items"}},
                  .password = std::nullopt});
  openMain(&world, program.path());

  DialogScript script;
  script.expect(QStringLiteral("FileOpenDialog"), DialogScript::chooseFile(sourcePath));
  QTest::mouseClick(control("CmdBrowse"), Qt::LeftButton);
  waitForAnswers(script, 5000);
  QCOMPARE(control<QLineEdit>("txtNotesDatabaseFile")->text(), sourcePath);
  QCOMPARE(control<QLabel>("LblPSTKind")->text(), QStringLiteral("ANSI PST (2000/2002/XP)"));
  QVERIFY(control<skin::SkinOptionButton>("OptUnicode")->isSelected());
  QVERIFY(control<skin::SkinOptionButton>("OptUnicode")->isAvailable());
  QVERIFY(!control<skin::SkinOptionButton>("OptAnsi")->isSelected());
  QVERIFY(!control<skin::SkinOptionButton>("OptAnsi")->isAvailable());
  QVERIFY(control("ScanFrame")->isVisible());
  QVERIFY(control<QPushButton>("CmdConvertPST")->isEnabled());
  QVERIFY(control<skin::SkinToolBar>("NotesToolBar")->button(3)->isEnabled());
  QCOMPARE(m_main->global().SourceKind, core::kSourceKindAnsi);

  // The caption each folder copy starts under: the name of the folder
  // copied before it, once that copy was done.
  QStringList captionAtCopy;
  world.on_call = [&](const std::string &operation, const std::string &) {
    if (operation == "CopyTo")
      captionAtCopy << control<QLabel>("LblProcessing")->text();
  };

  script.expect(QStringLiteral("FolderPicker"), DialogScript::chooseFolder(target.path()));
  script.expect(QStringLiteral("SkinnedMessageBox"), DialogScript::press(QStringLiteral("OK")));
  QTest::mouseClick(control("CmdConvertPST"), Qt::LeftButton);
  waitForAnswers(script, 10000);
  world.on_call = nullptr;
  QVERIFY(script.unexpected().isEmpty());

  const QStringList outputs = QDir(target.path()).entryList({QStringLiteral("*.pst")}, QDir::Files);
  QCOMPARE(outputs.size(), 1);
  QVERIFY2(QRegularExpression(QStringLiteral("^Brantwick-\\d\\d-\\d\\d-\\d{4}-\\d\\d-\\d\\d-\\d\\d\\.pst$"))
               .match(outputs[0]).hasMatch(),
           qPrintable(outputs[0]));
  const QString outputPath = target.filePath(outputs[0]);
  QCOMPARE(script.lastMessageTitle(), QStringLiteral("QUILLMAR"));
  QCOMPARE(script.lastMessageText(), QStringLiteral("Conversion Completed\nPST File Name : ") + outputPath);
  QCOMPARE(world.TopFolderNames(outputPath.toStdString()),
           (std::vector<std::string>{"Inbox", "Sent Items", "Deleted Items"}));
  QCOMPARE(world.StoreAt(outputPath.toStdString())->display_name, std::string("Personal Folders"));
  QCOMPARE(captionAtCopy, (QStringList{QStringLiteral("Processing..."), QStringLiteral("Inbox"),
                                        QStringLiteral("Sent Items")}));

  // What the window shows after the run.
  QVERIFY(control("ImgReadingArrow")->isVisible());
  QVERIFY(control("LblSubject")->isVisible());
  QVERIFY(control("LblSaveHeader")->isVisible());
  QVERIFY(control<QLabel>("LblSaveHeader")->text().isEmpty());
  QVERIFY(control<QLabel>("LblProcessing")->text().isEmpty());
  QVERIFY(control<QPushButton>("CmdConvertPST")->isEnabled());
  QVERIFY(!m_main->commands().session_reference());
}

void ConversionGuiTest::browseAndConvertRealSampleStore() {
  const QString bin = QStringLiteral(QUILLMAR_BIN_DIR);
  const QString sample = QStringLiteral(QUILLMAR_TESTDATA_DIR "/ansi-pstsdk-sample2.pst");
  QVERIFY2(QFile::exists(sample), qPrintable(sample));
  QTemporaryDir source, target;
  const QString sourcePath = source.filePath(QStringLiteral("sample2.pst"));
  QVERIFY(QFile::copy(sample, sourcePath));
  const QByteArray sourceHash = sha256(sourcePath);

  session::PstSessionFactory sessions;
  openMain(&sessions, bin);
  DialogScript script;
  script.expect(QStringLiteral("FileOpenDialog"), DialogScript::chooseFile(sourcePath));
  m_main->mnuOpen_Click(0);
  waitForAnswers(script, 10000);
  QVERIFY2(script.unexpected().isEmpty(), qPrintable(script.lastMessageText()));
  QCOMPARE(control<QLabel>("LblPSTKind")->text(), QStringLiteral("ANSI PST (2000/2002/XP)"));
  QVERIFY(control<skin::SkinOptionButton>("OptUnicode")->isSelected());
  QVERIFY(!control<skin::SkinOptionButton>("OptAnsi")->isAvailable());
  QVERIFY(control<QPushButton>("CmdConvertPST")->isEnabled());
  QCOMPARE(m_main->global().SourceKind, core::kSourceKindAnsi);
  QCOMPARE(sha256(sourcePath), sourceHash);

  // The conversion needs the template beside the program and a session
  // that can write; find out whether this build has both.
  const QString templatePath = bin + QStringLiteral("/xport.def");
  if (!QFile::exists(templatePath))
    QSKIP("the template stores are not built yet");
  {
    QTemporaryDir probeDir;
    const QString probe = probeDir.filePath(QStringLiteral("probe.pst"));
    QVERIFY(QFile::copy(templatePath, probe));
    auto session = sessions.CreateSession(session::kSessionProgId);
    QVERIFY(session.ok());
    QVERIFY(session.value()->Logon().ok());
    auto stores = session.value()->Stores();
    QVERIFY(stores.ok());
    auto store = stores.value()->AddPSTStore(probe.toStdString(), session::kStoreFormatDefault,
                                             std::string(session::kOutputStoreDisplayName));
    const bool writes = store.ok() || store.status().code() != pst::Status::Code::kNotSupported;
    if (store.ok())
      (void)store.value()->Remove();
    (void)session.value()->Logoff();
    if (!writes)
      QSKIP("the engine-backed session cannot write stores yet; the conversion part runs once it can");
  }

  script.expect(QStringLiteral("FolderPicker"), DialogScript::chooseFolder(target.path()));
  script.expect(QStringLiteral("SkinnedMessageBox"), DialogScript::press(QStringLiteral("OK")));
  QTest::mouseClick(control<skin::SkinToolBar>("NotesToolBar")->button(3), Qt::LeftButton);
  waitForAnswers(script, 60000);
  QVERIFY2(script.unexpected().isEmpty(), qPrintable(script.lastMessageText()));
  const QStringList outputs = QDir(target.path()).entryList({QStringLiteral("Brantwick-*.pst")}, QDir::Files);
  QCOMPARE(outputs.size(), 1);
  const QString outputPath = target.filePath(outputs[0]);
  QCOMPARE(script.lastMessageText(), QStringLiteral("Conversion Completed\nPST File Name : ") + outputPath);
  QCOMPARE(sha256(sourcePath), sourceHash);  // the source is never written

  // An independent reader opens the new store, in the Unicode format.
  const QString pffinfo = QStandardPaths::findExecutable(QStringLiteral("pffinfo"));
  if (!pffinfo.isEmpty()) {
    QProcess info;
    info.start(pffinfo, {outputPath});
    QVERIFY(info.waitForFinished(60000));
    const QString report = QString::fromLocal8Bit(info.readAllStandardOutput());
    QCOMPARE(info.exitCode(), 0);
    QVERIFY2(report.contains(QStringLiteral("64-bit")) || report.contains(QStringLiteral("Unicode")),
             qPrintable(report));
  }
}

QTEST_MAIN(ConversionGuiTest)
#include "conversion_gui_test.moc"
