// The skin library's global object: one per program, created on first use.
// It shows the skinned message box and offers a delay that keeps the event
// loop running while it waits.
#pragma once

#include <QObject>
#include <QString>

namespace quillmar::skin {

class SkinGlobal : public QObject {
  Q_OBJECT
 public:
  // The one object, created on the first call.
  static SkinGlobal *instance();
  // Whether instance() has been called yet.
  static bool exists();

  // Shows a skinned modal message box (style as in message_style.h) over
  // the active window and returns the number of the button pressed, when
  // the user has closed it.
  int SkinnedMessageBox(const QString &prompt, int style, const QString &title);

  // Waits `milliseconds` (nothing for zero or less) while the event loop
  // keeps running, then returns.
  void delay(qint32 &milliseconds);
  // How many delays have started and finished so far.
  int delaysStarted() const { return m_delaysStarted; }
  int delaysFinished() const { return m_delaysFinished; }

 signals:
  void delayStarted(int milliseconds);
  void delayFinished(int milliseconds);

 private:
  explicit SkinGlobal(QObject *parent);

  int m_delaysStarted = 0;
  int m_delaysFinished = 0;
};

}  // namespace quillmar::skin
