#include "forms/dialogs/help_viewer.h"

#include <QDesktopServices>
#include <QUrl>

namespace quillmar::forms {

bool ShowHelpFile(const QString &path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }

}  // namespace quillmar::forms
