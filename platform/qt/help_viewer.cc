#include "platform/qt/help_viewer.h"

#include <QDesktopServices>
#include <QUrl>

namespace quillmar::platform {

bool ShowHelpFile(const QString &path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }

}  // namespace quillmar::platform
