// How alive the window stays during a conversion: the real main window, the
// engine-backed session and the real dialogs (answered by script), with an
// object that posts itself an event at every turn of the event loop (posted
// events are delivered once per turn; a zero timer is not: Qt runs it at
// idle priority). Prints the
// longest gap between two turns, the 99th percentile, the number of turns
// and the run's whole time.
//
// usage: window_gap SOURCE.pst OUTPUT_DIR   (QT_QPA_PLATFORM=offscreen)
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <functional>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/form_table.h"
#include "forms/frm_main.h"
#include "forms/testing/gui_test_support.h"
#include "platform/std_file_copy.h"
#include "session/pst_session.h"

using namespace quillmar;
using forms::testing::DialogScript;

namespace {

// Records the time between deliveries of the event it keeps posting itself.
class TurnProbe : public QObject {
 public:
  explicit TurnProbe(std::function<void()> on_turn) : on_turn_(std::move(on_turn)) {}
  void Start() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }
  void Stop() { stopped_ = true; }

 protected:
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    if (stopped_) return true;
    on_turn_();
    QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    return true;
  }

 private:
  std::function<void()> on_turn_;
  bool stopped_ = false;
};

// Runs the event loop until the script has answered every dialog it expects.
bool AwaitAnswers(const DialogScript& script, int timeout_ms) {
  QElapsedTimer clock;
  clock.start();
  while (script.pending() > 0 && clock.elapsed() < timeout_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return script.pending() == 0;
}

// The run environment of the tests, which also counts the conversion's own
// turns of the event loop (it turns the loop through this call).
class TurnCountingEnvironment : public core::RunEnvironment {
 public:
  TurnCountingEnvironment(std::string program_folder, std::function<void()> on_turn)
      : base_(std::move(program_folder)), on_turn_(std::move(on_turn)) {}
  core::LocalDateTime Now() override { return base_.Now(); }
  std::string ProgramFolder() override { return base_.ProgramFolder(); }
  void ProcessPendingEvents() override {
    on_turn_();
    base_.ProcessPendingEvents();
  }

 private:
  forms::testing::TestRunEnvironment base_;
  std::function<void()> on_turn_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_gap SOURCE.pst OUTPUT_DIR\n");
    return 2;
  }
  // The dialogs are answered with absolute paths, as a user's clicks give.
  const QString source = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
  const QString output_dir = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
  forms::testing::prepareApplication();

  session::PstSessionFactory sessions;
  forms::QtFileOpenDialogFactory dialogs;
  forms::QtFolderPicker folders;
  platform::StdFileCopier files;
  std::function<void()> on_turn = [] {};
  TurnCountingEnvironment environment(QUILLMAR_BIN_DIR, [&] { on_turn(); });
  forms::FormTable table(forms::Services{.sessions = &sessions, .dialogs = &dialogs, .folders = &folders,
                                         .files = &files, .environment = &environment});
  table.showMain();
  forms::frmMain* main_form = table.mainForm();

  DialogScript script;
  script.expect(QStringLiteral("FileOpenDialog"), DialogScript::chooseFile(source));
  main_form->mnuOpen_Click(0);
  if (!AwaitAnswers(script, 60000) || !script.unexpected().isEmpty()) {
    std::fprintf(stderr, "window_gap: the source was not taken: %s\n", qPrintable(script.lastMessageText()));
    return 1;
  }
  auto* convert = main_form->findChild<QPushButton*>(QStringLiteral("CmdConvertPST"));
  if (convert == nullptr || !convert->isEnabled()) {
    std::fprintf(stderr, "window_gap: the convert button is not there or not enabled\n");
    return 1;
  }

  // Gaps between turns, from the click to the completion notice's answer.
  std::vector<double> gaps_ms;
  std::vector<std::pair<double, double>> longest;  // (gap, seconds into the run) of the five longest
  QElapsedTimer since_last;
  QElapsedTimer run;
  on_turn = [&] {
    const double gap = static_cast<double>(since_last.nsecsElapsed()) / 1e6;
    gaps_ms.push_back(gap);
    longest.emplace_back(gap, static_cast<double>(run.nsecsElapsed()) / 1e9);
    std::sort(longest.rbegin(), longest.rend());
    if (longest.size() > 5) longest.pop_back();
    since_last.restart();
  };
  TurnProbe turn(on_turn);  // the turns of dialogs' own loops

  script.expect(QStringLiteral("FolderPicker"), DialogScript::chooseFolder(output_dir));
  script.expect(QStringLiteral("SkinnedMessageBox"), DialogScript::press(QStringLiteral("OK")));
  run.start();
  since_last.start();
  turn.Start();
  convert->click();  // the run happens inside the click, turning the loop as it goes
  AwaitAnswers(script, 600000);
  turn.Stop();
  const double total_s = static_cast<double>(run.nsecsElapsed()) / 1e9;
  if (!script.unexpected().isEmpty() || !script.lastMessageText().startsWith(QStringLiteral("Conversion Completed"))) {
    std::fprintf(stderr, "window_gap: the run did not complete (dialogs seen: %s): %s\n",
                 qPrintable(script.seen().join(QStringLiteral(", "))), qPrintable(script.lastMessageText()));
    return 1;
  }
  if (gaps_ms.empty()) {
    std::fprintf(stderr, "window_gap: the event loop never turned\n");
    return 1;
  }
  std::vector<double> sorted = gaps_ms;
  std::sort(sorted.begin(), sorted.end());
  const double p99 = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  std::printf("window conversion: %.2f s, %zu event-loop turns, longest gap %.1f ms, 99th percentile %.1f ms\n",
              total_s, gaps_ms.size(), sorted.back(), p99);
  std::fprintf(stderr, "longest gaps:");
  for (const auto& [gap, at] : longest) std::fprintf(stderr, " %.1f ms at %.2f s;", gap, at);
  std::fprintf(stderr, "\n");
  return 0;
}
