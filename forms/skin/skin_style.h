// The look shared by every skinned control: colours, the fonts of the
// window design (with the nearest installed family where one is missing)
// and the painted backgrounds.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

class QPainter;

namespace quillmar::skin {

namespace palette {
inline const QColor kTitleTop(0x2a, 0x6f, 0xc9);
inline const QColor kTitleBottom(0x0d, 0x3a, 0x7a);
inline const QColor kTitleInactiveTop(0x7d, 0x93, 0xb5);
inline const QColor kTitleInactiveBottom(0x56, 0x6b, 0x8c);
inline const QColor kFormTop(0xf6, 0xf8, 0xfc);
inline const QColor kFormBottom(0xe3, 0xea, 0xf4);
inline const QColor kFormBorder(0x3b, 0x5c, 0x8f);
inline const QColor kBarTop(0xfb, 0xfc, 0xfe);
inline const QColor kBarBottom(0xd9, 0xe3, 0xf1);
inline const QColor kBarLine(0xa9, 0xbb, 0xd6);
inline const QColor kHighlight(0xcf, 0xe0, 0xf7);
inline const QColor kHighlightBorder(0x6f, 0x98, 0xd4);
inline const QColor kText(0x1d, 0x26, 0x33);
inline const QColor kDisabledText(0x9a, 0xa3, 0xb0);
inline const QColor kOptionText(0x00, 0x00, 0xff);
}  // namespace palette

// Maps the families of the window design (Tahoma, Verdana, Trebuchet MS) to
// the nearest installed family when they are not installed themselves.
// Call once after the application object exists.
void installFontSubstitutes();

// A font of the window design: family, size in points, weight.
QFont designFont(const QString &family, qreal pointSize, bool bold = false);

// The window background: a soft vertical gradient, with a one-pixel frame
// when the window has no system frame of its own.
void paintFormBackground(QPainter &painter, const QRect &rect, bool framed);

// The gradient of bars (menu bar, toolbar, status bar).
void paintBarBackground(QPainter &painter, const QRect &rect);

}  // namespace quillmar::skin
