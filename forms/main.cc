// quillmar: the desktop program. It reads no arguments, settings or
// environment of its own; it opens its start-up window and lives in its
// main window from then on.

#include <QApplication>

#include "core/run_environment.h"
#include "forms/dialogs/qt_file_open_dialog.h"
#include "forms/dialogs/qt_folder_picker.h"
#include "forms/form_table.h"
#include "forms/frm_splash.h"
#include "forms/session_factory.h"
#include "forms/skin/skin_style.h"
#include "platform/std_file_copy.h"
#include "pst/base/heap_tuning.h"

int main(int argc, char **argv) {
  pst::KeepFreedMemory();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("QUILLMAR"));
  QApplication::setOrganizationName(QStringLiteral("Brantwick"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/quillmar.ico")));
  // The program ends through its main window (exit or close), never because
  // the splash went away before the main window came.
  QApplication::setQuitOnLastWindowClosed(false);
  quillmar::skin::installFontSubstitutes();

  quillmar::forms::QtFileOpenDialogFactory dialogs;
  quillmar::forms::QtFolderPicker folders;
  quillmar::platform::StdFileCopier files;
  quillmar::core::SystemRunEnvironment environment([] { QCoreApplication::processEvents(); });
  const std::unique_ptr<quillmar::session::SessionFactory> sessions =
      quillmar::forms::CreateSessionFactory();

  quillmar::forms::FormTable forms({.sessions = sessions.get(),
                                    .dialogs = &dialogs,
                                    .folders = &folders,
                                    .files = &files,
                                    .environment = &environment});
  forms.splashForm()->show();  // the start-up window
  return app.exec();
}
