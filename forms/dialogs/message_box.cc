#include "forms/dialogs/message_box.h"

#include <QHash>
#include <QMessageBox>
#include <QPushButton>

#include "forms/skin/message_style.h"

namespace quillmar::forms {

int ShowPlainMessageBox(QWidget *owner, const QString &text, const QString &title, int style) {
  using skin::MessageIcon;
  const skin::MessageStyle decoded = skin::decodeMessageStyle(style);
  QMessageBox box(owner);
  box.setObjectName(QStringLiteral("PlainMessageBox"));
  box.setWindowTitle(title);
  box.setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  switch (decoded.icon) {
    case MessageIcon::kCritical: box.setIcon(QMessageBox::Critical); break;
    case MessageIcon::kQuestion: box.setIcon(QMessageBox::Question); break;
    case MessageIcon::kWarning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::kInformation: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::kNone: break;
  }
  static const QHash<int, QMessageBox::StandardButton> kStandard = {
      {skin::kMessageOk, QMessageBox::Ok},       {skin::kMessageCancel, QMessageBox::Cancel},
      {skin::kMessageAbort, QMessageBox::Abort}, {skin::kMessageRetry, QMessageBox::Retry},
      {skin::kMessageIgnore, QMessageBox::Ignore}, {skin::kMessageYes, QMessageBox::Yes},
      {skin::kMessageNo, QMessageBox::No}};
  QHash<QAbstractButton *, int> results;
  for (const skin::MessageButton &b : decoded.buttons) {
    QAbstractButton *button = box.addButton(kStandard.value(b.result));
    button->setObjectName(b.caption);
    results.insert(button, b.result);
    if (b.result == decoded.closeResult)
      box.setEscapeButton(button);
  }
  box.setDefaultButton(qobject_cast<QPushButton *>(box.buttons().value(0)));
  box.setModal(true);
  box.exec();
  return results.value(box.clickedButton(), decoded.closeResult);
}

}  // namespace quillmar::forms
