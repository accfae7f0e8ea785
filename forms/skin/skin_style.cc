#include "forms/skin/skin_style.h"

#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>

namespace quillmar::skin {

void installFontSubstitutes() {
  // Nearest installed relatives, best first: Tahoma is a narrow humanist
  // sans, Verdana its wide sibling, Trebuchet MS a humanist sans of the same
  // width as Tahoma's bold.
  const struct {
    const char *family;
    QStringList substitutes;
  } table[] = {
      {"Tahoma", {"DejaVu Sans Condensed", "Nimbus Sans", "Liberation Sans", "DejaVu Sans"}},
      {"Verdana", {"DejaVu Sans", "Bitstream Vera Sans", "Liberation Sans", "Nimbus Sans"}},
      {"Trebuchet MS", {"DejaVu Sans", "Liberation Sans", "Nimbus Sans"}},
  };
  const QStringList installed = QFontDatabase::families();
  for (const auto &row : table) {
    const QString family = QString::fromLatin1(row.family);
    if (installed.contains(family, Qt::CaseInsensitive))
      continue;
    QFont::insertSubstitutions(family, row.substitutes);
  }
}

QFont designFont(const QString &family, qreal pointSize, bool bold) {
  QFont font(family);
  font.setPointSizeF(pointSize);
  font.setBold(bold);
  return font;
}

void paintFormBackground(QPainter &painter, const QRect &rect, bool framed) {
  QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
  gradient.setColorAt(0, palette::kFormTop);
  gradient.setColorAt(1, palette::kFormBottom);
  painter.fillRect(rect, gradient);
  if (framed) {
    painter.setPen(palette::kFormBorder);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
  }
}

void paintBarBackground(QPainter &painter, const QRect &rect) {
  QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
  gradient.setColorAt(0, palette::kBarTop);
  gradient.setColorAt(1, palette::kBarBottom);
  painter.fillRect(rect, gradient);
  painter.setPen(palette::kBarLine);
  painter.drawLine(rect.bottomLeft(), rect.bottomRight());
}

}  // namespace quillmar::skin
