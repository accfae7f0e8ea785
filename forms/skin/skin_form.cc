#include "forms/skin/skin_form.h"

#include <QEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QWindow>

#include "forms/skin/skin_style.h"

namespace quillmar::skin {
namespace {

enum class CaptionGlyph { kMinimize, kMaximize, kClose };

// A caption button drawn by the skin: a glassy square with its glyph.
class CaptionButton : public QToolButton {
 public:
  CaptionButton(CaptionGlyph glyph, QWidget *parent) : QToolButton(parent), m_glyph(glyph) {
    setFixedSize(24, 19);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
  }

 protected:
  void paintEvent(QPaintEvent *) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool hot = isEnabled() && underMouse();
    const bool down = isDown();
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    if (m_glyph == CaptionGlyph::kClose && isEnabled()) {
      g.setColorAt(0, down ? QColor(0xa8, 0x2a, 0x1c) : hot ? QColor(0xf0, 0x6a, 0x55) : QColor(0xd9, 0x5a, 0x46));
      g.setColorAt(1, down ? QColor(0x8a, 0x1c, 0x10) : QColor(0xb0, 0x34, 0x22));
    } else {
      const int a = isEnabled() ? (hot ? 110 : 60) : 25;
      g.setColorAt(0, QColor(255, 255, 255, down ? 40 : a));
      g.setColorAt(1, QColor(255, 255, 255, down ? 20 : a / 3));
    }
    p.setPen(QPen(QColor(255, 255, 255, isEnabled() ? 150 : 60), 1));
    p.setBrush(g);
    p.drawRoundedRect(r, 3, 3);
    p.setPen(QPen(QColor(255, 255, 255, isEnabled() ? 255 : 90), 1.6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QPointF c = r.center();
    switch (m_glyph) {
      case CaptionGlyph::kMinimize:
        p.drawLine(c + QPointF(-4, 4), c + QPointF(4, 4));
        break;
      case CaptionGlyph::kMaximize:
        p.drawRect(QRectF(c.x() - 4.5, c.y() - 4, 9, 8));
        p.drawLine(c + QPointF(-4.5, -3), c + QPointF(4.5, -3));
        break;
      case CaptionGlyph::kClose:
        p.drawLine(c + QPointF(-3.5, -3.5), c + QPointF(3.5, 3.5));
        p.drawLine(c + QPointF(-3.5, 3.5), c + QPointF(3.5, -3.5));
        break;
    }
  }

 private:
  CaptionGlyph m_glyph;
};

}  // namespace

SkinForm::SkinForm(QWidget *parent)
    : QWidget(parent),
      m_minimize(new CaptionButton(CaptionGlyph::kMinimize, this)),
      m_maximize(new CaptionButton(CaptionGlyph::kMaximize, this)),
      m_close(new CaptionButton(CaptionGlyph::kClose, this)) {
  m_minimize->setObjectName(QStringLiteral("SkinMinimize"));
  m_maximize->setObjectName(QStringLiteral("SkinMaximize"));
  m_close->setObjectName(QStringLiteral("SkinClose"));
  m_minimize->setToolTip(tr("Minimize"));
  m_maximize->setToolTip(tr("Maximize"));
  m_close->setToolTip(tr("Close"));
  connect(m_minimize, &QToolButton::clicked, this, [this] {
    if (m_window)
      m_window->showMinimized();
  });
  connect(m_maximize, &QToolButton::clicked, this, &SkinForm::toggleMaximized);
  connect(m_close, &QToolButton::clicked, this, [this] {
    if (m_window)
      m_window->close();
  });
  setFont(designFont(QStringLiteral("Trebuchet MS"), 9.75, true));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void SkinForm::attach(QWidget *window, bool ownTitleBar) {
  if (m_window)
    m_window->removeEventFilter(this);
  m_window = window;
  m_ownTitleBar = ownTitleBar;
  if (m_window) {
    m_window->installEventFilter(this);
    applyWindowFlags();
  }
  m_minimize->setVisible(m_ownTitleBar);
  m_maximize->setVisible(m_ownTitleBar);
  m_close->setVisible(m_ownTitleBar);
  update();
}

void SkinForm::setMaximizeDisabled(bool disabled) {
  m_maximizeDisabled = disabled;
  m_maximize->setEnabled(!disabled);
  if (m_window)
    applyWindowFlags();
}

void SkinForm::applyWindowFlags() {
  const bool wasVisible = m_window->isVisible();
  Qt::WindowFlags flags = m_window->windowFlags();
  if (m_ownTitleBar)
    flags |= Qt::FramelessWindowHint;
  flags |= Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint;
  flags.setFlag(Qt::WindowMaximizeButtonHint, !m_maximizeDisabled);
  if (flags != m_window->windowFlags()) {
    m_window->setWindowFlags(flags);  // hides the window; show it again if it was shown
    if (wasVisible)
      m_window->show();
  }
}

void SkinForm::toggleMaximized() {
  if (!m_window || m_maximizeDisabled)
    return;
  m_window->isMaximized() ? m_window->showNormal() : m_window->showMaximized();
}

bool SkinForm::eventFilter(QObject *watched, QEvent *event) {
  if (watched == m_window) {
    switch (event->type()) {
      case QEvent::WindowTitleChange:
      case QEvent::WindowIconChange:
      case QEvent::ActivationChange:
        update();
        break;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void SkinForm::resizeEvent(QResizeEvent *) {
  const int y = (height() - m_close->height()) / 2;
  int x = width() - 8 - m_close->width();
  m_close->move(x, y);
  x -= m_maximize->width() + 3;
  m_maximize->move(x, y);
  x -= m_minimize->width() + 3;
  m_minimize->move(x, y);
}

void SkinForm::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool active = !m_window || m_window->isActiveWindow() || !m_window->isVisible();
  QLinearGradient g(0, 0, 0, height());
  g.setColorAt(0, active ? palette::kTitleTop : palette::kTitleInactiveTop);
  g.setColorAt(1, active ? palette::kTitleBottom : palette::kTitleInactiveBottom);
  p.fillRect(rect(), g);
  // A glassy upper half and a dark rule underneath.
  QLinearGradient gloss(0, 0, 0, height() / 2);
  gloss.setColorAt(0, QColor(255, 255, 255, 70));
  gloss.setColorAt(1, QColor(255, 255, 255, 12));
  p.fillRect(QRect(0, 0, width(), height() / 2), gloss);
  p.setPen(QColor(0x06, 0x1f, 0x47));
  p.drawLine(0, height() - 1, width(), height() - 1);

  int x = 8;
  if (m_window && !m_window->windowIcon().isNull()) {
    const QPixmap icon = m_window->windowIcon().pixmap(QSize(16, 16));
    p.drawPixmap(x, (height() - 16) / 2, icon);
    x += 16 + 7;
  }
  const QString caption = m_window ? m_window->windowTitle() : QString();
  const int right = m_ownTitleBar ? m_minimize->x() - 6 : width() - 8;
  const QRect textRect(x, 0, right - x, height());
  const QString shown = fontMetrics().elidedText(caption, Qt::ElideRight, textRect.width());
  p.setFont(font());
  p.setPen(QColor(0, 0, 0, 110));
  p.drawText(textRect.translated(1, 1), Qt::AlignVCenter | Qt::AlignLeft, shown);
  p.setPen(Qt::white);
  p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, shown);
}

void SkinForm::mousePressEvent(QMouseEvent *event) {
  if (event->button() != Qt::LeftButton || !m_window || !m_ownTitleBar)
    return QWidget::mousePressEvent(event);
  QWindow *handle = m_window->windowHandle();
  if (handle && handle->startSystemMove())
    return;
  m_dragging = true;  // no system move on this platform: move by hand
  m_dragOffset = event->globalPosition().toPoint() - m_window->frameGeometry().topLeft();
}

void SkinForm::mouseMoveEvent(QMouseEvent *event) {
  if (m_dragging && m_window)
    m_window->move(event->globalPosition().toPoint() - m_dragOffset);
  QWidget::mouseMoveEvent(event);
}

void SkinForm::mouseReleaseEvent(QMouseEvent *event) {
  m_dragging = false;
  QWidget::mouseReleaseEvent(event);
}

void SkinForm::mouseDoubleClickEvent(QMouseEvent *event) {
  if (event->button() == Qt::LeftButton && m_ownTitleBar)
    toggleMaximized();
}

}  // namespace quillmar::skin
