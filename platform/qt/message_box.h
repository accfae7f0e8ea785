// The platform's plain modal message box, styled by number (see
// platform/skin/message_style.h); returns the number of the button pressed.
#pragma once

#include <QString>

class QWidget;

namespace quillmar::platform {

int ShowPlainMessageBox(QWidget *owner, const QString &text, const QString &title, int style);

}  // namespace quillmar::platform
