#include "forms/dialogs/qt_file_open_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

namespace quillmar::forms {

std::string QtFileOpenDialog::QtNameFilters(const std::string &filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    const QString description = parts[i].trimmed();
    QString patterns = parts[i + 1].trimmed();
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // Qt reads the patterns from the last parentheses of the description;
    // add them where the description does not already end with them.
    filters << (description.endsWith(QLatin1Char(')')) && description.contains(patterns)
                    ? description
                    : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
  }
  return filters.join(QStringLiteral(";;")).toStdString();
}

pst::Status QtFileOpenDialog::ShowOpen() {
  QWidget *owner = owner_ == platform::kNoOwner ? nullptr : QWidget::find(WId(owner_));
  QFileDialog dialog(owner, QObject::tr("Open"));
  dialog.setObjectName(QStringLiteral("FileOpenDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QString filters = QString::fromStdString(QtNameFilters(filter_));
  if (!filters.isEmpty())
    dialog.setNameFilters(filters.split(QStringLiteral(";;")));
  if (!file_name_.empty()) {
    const QFileInfo info(QString::fromStdString(file_name_));
    dialog.setDirectory(info.absolutePath());
    dialog.selectFile(info.fileName());
  }
  file_name_.clear();
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    file_name_ = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath().toStdString();
  return pst::Status::Ok();
}

pst::Result<std::unique_ptr<platform::FileOpenDialog>> QtFileOpenDialogFactory::CreateFileOpenDialog() {
  return std::unique_ptr<platform::FileOpenDialog>(std::make_unique<QtFileOpenDialog>());
}

}  // namespace quillmar::forms
