#include "forms/frm_splash.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include "forms/form_table.h"
#include "forms/skin/skin_global.h"

namespace quillmar::forms {

frmSplash::frmSplash(FormTable &table)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_table(table), m_timer1(new QTimer(this)) {
  setObjectName(QStringLiteral("frmSplash"));
  setFixedSize(341, 209);
  setWindowIcon(QIcon(QStringLiteral(":/pictures/quillmar.ico")));
  setFocusPolicy(Qt::StrongFocus);
  auto *picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("Picture"));
  picture->setPixmap(QPixmap(QStringLiteral(":/pictures/splash.gif")));
  picture->setGeometry(0, 0, 341, 209);

  m_timer1->setObjectName(QStringLiteral("Timer1"));
  m_timer1->setInterval(10);
  connect(m_timer1, &QTimer::timeout, this, &frmSplash::Timer1_Timer);
  m_timer1->start();
}

void frmSplash::unload() {
  m_timer1->stop();
  hide();
  if (m_tickInProgress)
    m_unloadAfterTick = true;  // the tick's own frame still uses this window
  else
    deleteLater();
}

void frmSplash::Timer1_Timer() {
  // The delay keeps the event loop running, so the timer ticks on while it
  // waits; those ticks are not acted on again. A key pressed meanwhile
  // unloads the window, which then goes once this tick has returned.
  if (m_tickInProgress)
    return;
  m_tickInProgress = true;

  qint32 milliseconds = 4000;
  skin::SkinGlobal::instance()->delay(milliseconds);

  m_table.showMain();
  m_table.unloadSplash();
  m_tickInProgress = false;
  if (m_unloadAfterTick)
    deleteLater();
}

void frmSplash::Form_KeyPress(qint16) {
  FormTable *table = &m_table;
  table->unloadSplash();
  table->showMain();
}

void frmSplash::keyPressEvent(QKeyEvent *event) {
  const QString text = event->text();
  Form_KeyPress(text.isEmpty() ? 0 : qint16(text.at(0).unicode()));
}

void frmSplash::showEvent(QShowEvent *event) {
  if (QScreen *screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  activateWindow();
  setFocus();
  QWidget::showEvent(event);
}

}  // namespace quillmar::forms
