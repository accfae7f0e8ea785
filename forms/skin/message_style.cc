#include "forms/skin/message_style.h"

namespace quillmar::skin {

MessageStyle decodeMessageStyle(int style) {
  MessageStyle decoded;
  const MessageButton ok{QStringLiteral("OK"), kMessageOk};
  const MessageButton cancel{QStringLiteral("Cancel"), kMessageCancel};
  const MessageButton yes{QStringLiteral("Yes"), kMessageYes};
  const MessageButton no{QStringLiteral("No"), kMessageNo};
  const MessageButton retry{QStringLiteral("Retry"), kMessageRetry};
  switch (style & 0x7) {
    case 1:
      decoded.buttons = {ok, cancel};
      decoded.closeResult = kMessageCancel;
      break;
    case 2:
      decoded.buttons = {{QStringLiteral("Abort"), kMessageAbort}, retry,
                         {QStringLiteral("Ignore"), kMessageIgnore}};
      break;
    case 3:
      decoded.buttons = {yes, no, cancel};
      decoded.closeResult = kMessageCancel;
      break;
    case 4:
      decoded.buttons = {yes, no};
      break;
    case 5:
      decoded.buttons = {retry, cancel};
      decoded.closeResult = kMessageCancel;
      break;
    default:
      decoded.buttons = {ok};
      decoded.closeResult = kMessageOk;
      break;
  }
  switch (style & 0x70) {
    case 16: decoded.icon = MessageIcon::kCritical; break;
    case 32: decoded.icon = MessageIcon::kQuestion; break;
    case 48: decoded.icon = MessageIcon::kWarning; break;
    case 64: decoded.icon = MessageIcon::kInformation; break;
    default: break;
  }
  return decoded;
}

}  // namespace quillmar::skin
