// The style number of a message box, as the tool's commands give it: the
// buttons in its low bits, the icon in bits 4 to 6. The box returns the
// number of the button pressed.
#pragma once

#include <QList>
#include <QString>

namespace quillmar::skin {

enum class MessageIcon { kNone, kCritical, kQuestion, kWarning, kInformation };

// Numbers returned for the buttons.
inline constexpr int kMessageOk = 1;
inline constexpr int kMessageCancel = 2;
inline constexpr int kMessageAbort = 3;
inline constexpr int kMessageRetry = 4;
inline constexpr int kMessageIgnore = 5;
inline constexpr int kMessageYes = 6;
inline constexpr int kMessageNo = 7;

struct MessageButton {
  QString caption;  // "OK", "Yes", ...
  int result;
};

struct MessageStyle {
  MessageIcon icon = MessageIcon::kNone;
  QList<MessageButton> buttons;  // left to right
  // The result when the box is closed without a button (Escape or its close
  // control); 0 when it can only be closed with a button.
  int closeResult = 0;
};

// 0 OK, 1 OK/Cancel, 2 Abort/Retry/Ignore, 3 Yes/No/Cancel, 4 Yes/No,
// 5 Retry/Cancel (other values: OK); icons 16 critical, 32 question,
// 48 warning, 64 information.
MessageStyle decodeMessageStyle(int style);

}  // namespace quillmar::skin
