// Opens the help file with the desktop's viewer for its type. The viewer
// runs beside the program; a missing or unreadable file is the viewer's to
// report, so nothing is checked or shown here.
#pragma once

#include <QString>

namespace quillmar::forms {

// Hands `path` to the desktop's viewer and returns at once. True when a
// viewer was started (for logging by callers that care; the tool does not).
bool ShowHelpFile(const QString &path);

}  // namespace quillmar::forms
