#include "forms/testing/gui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QLabel>
#include <QMessageBox>

#include "forms/skin/skin_style.h"

namespace quillmar::forms::testing {
namespace {

const QStringList kDialogNames = {QStringLiteral("FileOpenDialog"), QStringLiteral("FolderPicker"),
                                  QStringLiteral("PlainMessageBox"),
                                  QStringLiteral("SkinnedMessageBox"), QStringLiteral("frmAbout"),
                                  QStringLiteral("PasswordPrompt")};

}  // namespace

DialogScript::DialogScript() {
  m_timer.setInterval(15);
  connect(&m_timer, &QTimer::timeout, this, &DialogScript::poll);
  m_timer.start();
}

DialogScript::~DialogScript() = default;

void DialogScript::expect(const QString &name, Answer answer) {
  m_expected.append({name, std::move(answer)});
}

void DialogScript::poll() {
  if (m_answering)
    return;
  for (QWidget *widget : QApplication::topLevelWidgets()) {
    if (!widget->isVisible() || m_handled.contains(widget))
      continue;
    QString name = widget->objectName();
    if (qobject_cast<QInputDialog *>(widget))
      name = QStringLiteral("PasswordPrompt");
    if (!kDialogNames.contains(name))
      continue;
    m_handled.insert(widget);
    connect(widget, &QObject::destroyed, this, [this, widget] { m_handled.remove(widget); });
    m_seen.append(name);
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
      m_lastText = box->text();
      m_lastTitle = box->windowTitle();
    } else if (name == QLatin1String("SkinnedMessageBox")) {
      if (auto *prompt = widget->findChild<QLabel *>(QStringLiteral("Prompt")))
        m_lastText = prompt->text();
      m_lastTitle = widget->windowTitle();
    }
    Answer answer;
    for (int i = 0; i < m_expected.size(); ++i)
      if (m_expected[i].first == name) {
        answer = m_expected.takeAt(i).second;
        break;
      }
    if (!answer) {
      m_unexpected.append(name);
      answer = name == QLatin1String("frmAbout") ? closeWindow() : cancel();
      if (qobject_cast<QMessageBox *>(widget) || name == QLatin1String("SkinnedMessageBox"))
        answer = press(QStringLiteral("OK"));
    }
    // Answer from the event loop, not from inside this timer's slot.
    QPointer<QWidget> target(widget);
    QTimer::singleShot(0, this, [this, target, answer] {
      m_answering = true;
      if (target)
        answer(target);
      m_answering = false;
    });
    return;  // one dialog per poll
  }
}

// Types the path into the dialog's file name box and accepts, as a user
// would (selectFile() leaves a focused name box alone).
static void typeAndAccept(QWidget *w, const QString &path) {
  auto *dialog = qobject_cast<QFileDialog *>(w);
  if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
    name->setText(path);
  else
    dialog->selectFile(path);
  static_cast<QDialog *>(dialog)->accept();  // as the Open/Choose button does
}

DialogScript::Answer DialogScript::chooseFile(const QString &path) {
  return [path](QWidget *w) { typeAndAccept(w, path); };
}

DialogScript::Answer DialogScript::chooseFolder(const QString &path) {
  return [path](QWidget *w) { typeAndAccept(w, path); };
}

DialogScript::Answer DialogScript::cancel() {
  return [](QWidget *w) {
    if (auto *dialog = qobject_cast<QDialog *>(w))
      dialog->reject();
    else
      w->close();
  };
}

DialogScript::Answer DialogScript::press(const QString &buttonName) {
  return [buttonName](QWidget *w) {
    for (QAbstractButton *button : w->findChildren<QAbstractButton *>())
      if (button->objectName() == buttonName && button->isVisible()) {
        button->click();
        return;
      }
    w->close();
  };
}

DialogScript::Answer DialogScript::closeWindow() {
  return [](QWidget *w) { w->close(); };
}

UrlCatcher::UrlCatcher() {
  QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
}

UrlCatcher::~UrlCatcher() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

TestRunEnvironment::TestRunEnvironment(std::string programFolder)
    : m_programFolder(std::move(programFolder)),
      m_system([] { QCoreApplication::processEvents(); }) {}

int runInEventLoop(const std::function<void()> &body, int timeoutMs, int fallbackCode) {
  QTimer fallback;  // gone with this call, so it cannot end a later test
  fallback.setSingleShot(true);
  QObject::connect(&fallback, &QTimer::timeout, qApp,
                   [fallbackCode] { QCoreApplication::exit(fallbackCode); });
  QTimer start;
  start.setSingleShot(true);
  QObject::connect(&start, &QTimer::timeout, qApp, [&] {
    body();
    fallback.start(timeoutMs);
  });
  start.start(0);
  return QCoreApplication::exec();
}

void prepareApplication() {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication::setQuitOnLastWindowClosed(false);
  skin::installFontSubstitutes();
}

}  // namespace quillmar::forms::testing
