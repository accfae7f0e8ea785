// The plain modal message box, styled by number (see
// forms/skin/message_style.h); returns the number of the button pressed.
#pragma once

#include <QString>

class QWidget;

namespace quillmar::forms {

int ShowPlainMessageBox(QWidget *owner, const QString &text, const QString &title, int style);

}  // namespace quillmar::forms
