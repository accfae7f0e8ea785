#include "forms/skin/skin_global.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "forms/skin/message_style.h"
#include "forms/skin/skin_controls.h"
#include "forms/skin/skin_form.h"
#include "forms/skin/skin_style.h"

namespace quillmar::skin {
namespace {

QPointer<SkinGlobal> g_instance;

QStyle::StandardPixmap standardIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kCritical: return QStyle::SP_MessageBoxCritical;
    case MessageIcon::kQuestion: return QStyle::SP_MessageBoxQuestion;
    case MessageIcon::kWarning: return QStyle::SP_MessageBoxWarning;
    default: return QStyle::SP_MessageBoxInformation;
  }
}

// The skinned message box: a frameless dialog under a skin title band.
class SkinMessageDialog : public QDialog {
 public:
  SkinMessageDialog(const QString &prompt, const MessageStyle &style, const QString &title,
                    QWidget *parent)
      : QDialog(parent), m_closeResult(style.closeResult) {
    setObjectName(QStringLiteral("SkinnedMessageBox"));
    setWindowTitle(title);
    setWindowIcon(parent ? parent->windowIcon() : QApplication::windowIcon());
    auto *band = new SkinForm(this);
    band->setObjectName(QStringLiteral("SkinBand"));
    band->attach(this, true);
    band->setMaximizeDisabled(true);
    band->minimizeButton()->hide();
    band->maximizeButton()->hide();
    band->setFixedHeight(28);

    auto *iconLabel = new QLabel(this);
    if (style.icon != MessageIcon::kNone)
      iconLabel->setPixmap(this->style()->standardIcon(standardIcon(style.icon)).pixmap(32, 32));
    iconLabel->setAlignment(Qt::AlignTop);
    auto *text = new QLabel(QString(prompt).replace(QStringLiteral("\r\n"), QStringLiteral("\n")), this);
    text->setObjectName(QStringLiteral("Prompt"));
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setWordWrap(prompt.size() > 70 && !prompt.contains(QLatin1Char('\n')));
    text->setMinimumWidth(220);

    auto *body = new QHBoxLayout;
    body->setContentsMargins(18, 16, 22, 8);
    body->setSpacing(14);
    body->addWidget(iconLabel);
    body->addWidget(text, 1);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(18, 6, 18, 14);
    buttons->addStretch(1);
    for (const MessageButton &b : style.buttons) {
      auto *button = new SkinButton(b.caption, this);
      button->setObjectName(b.caption);
      button->setMinimumSize(80, 25);
      const int result = b.result;
      connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
      buttons->addWidget(button);
      if (&b == &style.buttons.front())
        button->setDefault(true);
    }
    buttons->addStretch(1);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(band);
    column->addLayout(body);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize);
  }

 protected:
  void paintEvent(QPaintEvent *) override {
    QPainter p(this);
    paintFormBackground(p, rect(), true);
  }
  void keyPressEvent(QKeyEvent *event) override {
    if (event->key() == Qt::Key_Escape && m_closeResult == 0)
      return;  // only a button closes this box
    QDialog::keyPressEvent(event);
  }
  void reject() override {
    if (m_closeResult != 0)
      done(m_closeResult);
  }

 private:
  int m_closeResult;
};

}  // namespace

SkinGlobal::SkinGlobal(QObject *parent) : QObject(parent) {}

SkinGlobal *SkinGlobal::instance() {
  if (!g_instance)
    g_instance = new SkinGlobal(QCoreApplication::instance());
  return g_instance;
}

bool SkinGlobal::exists() { return !g_instance.isNull(); }

int SkinGlobal::SkinnedMessageBox(const QString &prompt, int style, const QString &title) {
  QWidget *owner = QApplication::activeModalWidget();
  if (!owner)
    owner = QApplication::activeWindow();
  SkinMessageDialog dialog(prompt, decodeMessageStyle(style), title, owner);
  dialog.setModal(true);
  return dialog.exec();
}

void SkinGlobal::delay(qint32 &milliseconds) {
  ++m_delaysStarted;
  emit delayStarted(milliseconds);
  if (milliseconds > 0) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
  }
  ++m_delaysFinished;
  emit delayFinished(milliseconds);
}

}  // namespace quillmar::skin
