#include "forms/frm_about.h"

#include <QKeyEvent>
#include <QLabel>

namespace quillmar::forms {

frmAbout::frmAbout(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About - Brantwick QUILLMAR"));
  setFixedSize(341, 209);
  auto *picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("Picture"));
  picture->setPixmap(QPixmap(QStringLiteral(":/pictures/about.gif")));
  picture->setGeometry(0, 0, 341, 209);
}

void frmAbout::setVisible(bool visible) {
  if (visible && parentWidget())
    move(parentWidget()->geometry().center() - rect().center());
  QDialog::setVisible(visible);
}

}  // namespace quillmar::forms

namespace quillmar::forms {

void frmAbout::keyPressEvent(QKeyEvent *event) {
  if (event->key() == Qt::Key_Escape)
    return;  // only the close control closes this window
  QDialog::keyPressEvent(event);
}

}  // namespace quillmar::forms
