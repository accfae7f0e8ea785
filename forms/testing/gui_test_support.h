// Helpers for tests that drive the real windows under the offscreen
// platform: a script of answers for the dialogs the program opens, and a
// run environment whose program folder the test chooses.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <string>

#include "core/run_environment.h"

class QWidget;

namespace quillmar::forms::testing {

// Answers dialogs as they appear. Each expectation names a dialog by its
// object name ("FileOpenDialog", "FolderPicker", "PlainMessageBox",
// "SkinnedMessageBox", "frmAbout") and says what to do with it. A dialog
// nobody expected is recorded and closed, so a test never hangs on it.
class DialogScript : public QObject {
  Q_OBJECT
 public:
  using Answer = std::function<void(QWidget *dialog)>;

  DialogScript();
  ~DialogScript() override;

  void expect(const QString &name, Answer answer);
  // Dialogs seen so far, by object name, in order (expected or not).
  const QStringList &seen() const { return m_seen; }
  int seenCount(const QString &name) const { return int(m_seen.count(name)); }
  const QStringList &unexpected() const { return m_unexpected; }
  int pending() const { return int(m_expected.size()); }
  // The text of the last message box seen.
  const QString &lastMessageText() const { return m_lastText; }
  const QString &lastMessageTitle() const { return m_lastTitle; }

  // Ready-made answers.
  static Answer chooseFile(const QString &path);
  static Answer chooseFolder(const QString &path);
  static Answer cancel();
  static Answer press(const QString &buttonName);  // "OK", "Yes", "No"
  static Answer closeWindow();

 private:
  void poll();

  QTimer m_timer;
  QList<QPair<QString, Answer>> m_expected;
  QSet<QWidget *> m_handled;
  QStringList m_seen;
  QStringList m_unexpected;
  QString m_lastText;
  QString m_lastTitle;
  bool m_answering = false;
};

// Catches what the program hands to the desktop's viewer.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher();
  ~UrlCatcher() override;
  const QList<QUrl> &urls() const { return m_urls; }

 public slots:
  void openUrl(const QUrl &url) { m_urls.append(url); }

 private:
  QList<QUrl> m_urls;
};

// The real clock and event loop, with a program folder of the test's own.
class TestRunEnvironment : public core::RunEnvironment {
 public:
  explicit TestRunEnvironment(std::string programFolder);
  core::LocalDateTime Now() override { return m_system.Now(); }
  std::string ProgramFolder() override { return m_programFolder; }
  void ProcessPendingEvents() override { m_system.ProcessPendingEvents(); }

 private:
  std::string m_programFolder;
  core::SystemRunEnvironment m_system;
};

// Runs `body` inside QCoreApplication::exec() and returns exec's result:
// 0 when the program ended itself, `fallbackCode` when it was still running
// `timeoutMs` after the body returned.
int runInEventLoop(const std::function<void()> &body, int timeoutMs, int fallbackCode);

// Common set-up for every GUI test: no native dialogs, design fonts.
void prepareApplication();

}  // namespace quillmar::forms::testing
