#include "forms/skin/skin_status_bar.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>

#include "forms/skin/skin_style.h"

namespace quillmar::skin {
namespace {
constexpr int kSeparatorWidth = 4;
constexpr int kGripperWidth = 14;
}  // namespace

SkinStatusBar::SkinStatusBar(QWidget *parent) : QWidget(parent) {}

QLabel *SkinStatusBar::addPanel(int width, const QString &text, bool bold, const QColor &color) {
  auto *label = new QLabel(text, this);
  label->setObjectName(QStringLiteral("Panel%1").arg(m_panels.size() + 1));
  QFont f = font();
  f.setBold(bold);
  label->setFont(f);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, color.isValid() ? color : palette::kText);
  label->setPalette(pal);
  label->setIndent(6);
  label->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
  m_panels.append(label);
  m_widths.append(width);
  layoutPanels();
  return label;
}

QLabel *SkinStatusBar::panel(int number) const {
  return number >= 1 && number <= panelCount() ? m_panels[number - 1] : nullptr;
}

void SkinStatusBar::resizeEvent(QResizeEvent *) { layoutPanels(); }

void SkinStatusBar::layoutPanels() {
  int x = 2;
  for (int i = 0; i < m_panels.size(); ++i) {
    // The last panel ends before the gripper when it would run past it.
    int w = m_widths[i];
    if (i == m_panels.size() - 1)
      w = qMin(w, width() - kGripperWidth - x);
    m_panels[i]->setGeometry(x, 3, qMax(0, w), height() - 5);
    x += m_widths[i] + kSeparatorWidth;
  }
}

void SkinStatusBar::paintEvent(QPaintEvent *) {
  QPainter p(this);
  QLinearGradient g(0, 0, 0, height());
  g.setColorAt(0, palette::kBarBottom);
  g.setColorAt(1, palette::kBarTop);
  p.fillRect(rect(), g);
  p.setPen(palette::kBarLine);
  p.drawLine(0, 0, width(), 0);
  // Sunken panel frames, and the separators between them.
  for (const QLabel *panel : m_panels) {
    const QRect r = panel->geometry().adjusted(0, 0, -1, -1);
    if (r.width() <= 0)
      continue;
    p.setPen(palette::kBarLine);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(Qt::white);
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
  }
  // The size gripper: three rows of dots in the bottom-right corner.
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col <= row; ++col) {
      const int x = width() - 4 - col * 4, y = height() - 4 - (2 - row + col) * 4 + (2 - row) * 0;
      p.fillRect(x, y, 2, 2, Qt::white);
      p.fillRect(x - 1, y - 1, 2, 2, palette::kBarLine.darker(115));
    }
}

}  // namespace quillmar::skin
