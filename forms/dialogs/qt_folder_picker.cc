#include "forms/dialogs/qt_folder_picker.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QWidget>

namespace quillmar::forms {

std::string QtFolderPicker::PickFolder(platform::WindowHandle owner, const std::string &title) {
  QWidget *parent = owner == platform::kNoOwner ? nullptr : QWidget::find(WId(owner));
  QPointer<QFileDialog> dialog = new QFileDialog(parent, QString::fromStdString(title));
  dialog->setObjectName(QStringLiteral("FolderPicker"));
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly, true);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setDirectory(QDir::homePath());

  int result = QDialog::Rejected;
  if (parent) {
    result = dialog->exec();
  } else {
    // No owner: not application-modal, so wait in a local loop.
    QEventLoop loop;
    QObject::connect(dialog, &QDialog::finished, &loop, [&](int r) {
      result = r;
      loop.quit();
    });
    QObject::connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    dialog->setWindowModality(Qt::NonModal);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    loop.exec();
  }
  std::string path;
  if (dialog && result == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
    const QFileInfo chosen(dialog->selectedFiles().constFirst());
    if (chosen.isDir())  // only a folder on disk counts as a choice
      path = QDir::toNativeSeparators(QDir::cleanPath(chosen.absoluteFilePath())).toStdString();
  }
  delete dialog;
  return path;
}

}  // namespace quillmar::forms
