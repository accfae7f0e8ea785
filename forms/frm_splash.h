// The start-up window: one picture, no caption. On its first timer tick it
// waits on the skin library's global delay, opens the main window and
// unloads itself; a key press unloads it and opens the main window at once.
#pragma once

#include <QWidget>

class QTimer;

namespace quillmar::forms {

class FormTable;

class frmSplash : public QWidget {
  Q_OBJECT
 public:
  explicit frmSplash(FormTable &table);

  // Timer1 ticks every 10 ms from the moment the window is loaded.
  QTimer *Timer1() const { return m_timer1; }

  // Unloads the window: stops its timer, hides it and destroys it once
  // control is back in the event loop, or, when this comes from inside
  // its own tick, once that tick has returned.
  void unload();

  void Timer1_Timer();
  void Form_KeyPress(qint16 keyAscii);

 protected:
  void keyPressEvent(QKeyEvent *event) override;
  void showEvent(QShowEvent *event) override;

 private:
  FormTable &m_table;
  QTimer *m_timer1;
  bool m_tickInProgress = false;
  bool m_unloadAfterTick = false;
};

}  // namespace quillmar::forms
