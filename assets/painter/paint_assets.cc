// Paints every picture the windows show, as PNG files, into the folder given
// as the first argument. make_pictures.sh turns them into the shipped formats
// (GIF, ICO, BMP); the results are committed, so the build never runs this.
//
// All pictures share one look: a deep blue product colour, a gold quill and
// a white envelope (the logo), URW Gothic for the product name.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

namespace {

const QColor kNavy(0x0b, 0x2a, 0x5e);
const QColor kBlue(0x1f, 0x5f, 0xbf);
const QColor kSky(0x4a, 0x90, 0xe2);
const QColor kGold(0xf6, 0xb9, 0x26);
const QColor kGoldDark(0xb9, 0x7a, 0x0a);

QImage blank(int w, int h, QColor fill = Qt::transparent) {
  QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
  img.fill(fill);
  return img;
}

QFont font(const char *family, qreal px, int weight = QFont::Normal) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(qRound(px));
  f.setWeight(QFont::Weight(weight));
  f.setHintingPreference(QFont::PreferFullHinting);
  return f;
}

// The quill: a long leaf with a spine, lying from the lower left to the upper
// right of `r`.
void drawQuill(QPainter &p, const QRectF &r) {
  p.save();
  p.translate(r.center());
  p.rotate(-45);
  const qreal len = std::hypot(r.width(), r.height()) * 0.5;
  const qreal half = len / 2, wide = len * 0.2;
  QPainterPath leaf;
  leaf.moveTo(-half, 0);
  leaf.cubicTo(-half * 0.4, -wide * 1.3, half * 0.5, -wide * 1.1, half, 0);
  leaf.cubicTo(half * 0.5, wide * 0.7, -half * 0.4, wide * 0.9, -half, 0);
  QLinearGradient g(0, -wide, 0, wide);
  g.setColorAt(0, kGold.lighter(125));
  g.setColorAt(1, kGold);
  p.setPen(QPen(kGoldDark, qMax(0.6, len / 60)));
  p.setBrush(g);
  p.drawPath(leaf);
  p.setPen(QPen(kGoldDark, qMax(0.7, len / 40), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(-half * 1.1, 0), QPointF(half * 0.85, 0));
  p.restore();
}

void drawEnvelope(QPainter &p, const QRectF &r, QColor paper = Qt::white) {
  p.save();
  const qreal lw = qMax(0.8, r.width() / 28);
  p.setPen(QPen(QColor(0x9d, 0xb3, 0xd3), lw));
  p.setBrush(paper);
  p.drawRoundedRect(r, lw, lw);
  QPainterPath flap;
  flap.moveTo(r.topLeft() + QPointF(lw, lw));
  flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
  flap.lineTo(r.topRight() + QPointF(-lw, lw));
  p.setPen(QPen(QColor(0x7f, 0x99, 0xc2), lw, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(flap);
  p.restore();
}

// The logo mark: a glossy blue tile with an envelope and the quill over it.
void drawLogo(QPainter &p, const QRectF &r) {
  p.save();
  const qreal s = r.width();
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, kSky);
  g.setColorAt(1, kNavy);
  p.setPen(s >= 24 ? QPen(QColor(0x06, 0x1a, 0x3d), s / 40) : Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), s * 0.2, s * 0.2);
  if (s >= 24) {  // gloss on the upper half; lost at small sizes anyway
    QLinearGradient gl(r.topLeft(), QPointF(r.left(), r.center().y()));
    gl.setColorAt(0, QColor(255, 255, 255, 110));
    gl.setColorAt(1, QColor(255, 255, 255, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(gl);
    p.drawRoundedRect(QRectF(r.left() + s * 0.06, r.top() + s * 0.05, s * 0.88, s * 0.45), s * 0.16,
                      s * 0.16);
  }
  drawEnvelope(p, QRectF(r.left() + s * 0.14, r.top() + s * 0.36, s * 0.6, s * 0.42));
  drawQuill(p, QRectF(r.left() + s * 0.3, r.top() + s * 0.04, s * 0.66, s * 0.66));
  p.restore();
}

void drawProductName(QPainter &p, QPointF at, qreal px, QColor c) {
  QFont f = font("URW Gothic", px, QFont::DemiBold);
  f.setLetterSpacing(QFont::AbsoluteSpacing, px * 0.06);
  p.setFont(f);
  p.setPen(QColor(0, 0, 0, 90));
  p.drawText(at + QPointF(1, 1.5), QStringLiteral("QUILLMAR"));
  p.setPen(c);
  p.drawText(at, QStringLiteral("QUILLMAR"));
}

void drawBrandBackground(QPainter &p, const QRectF &r) {
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0, QColor(0x0d, 0x2b, 0x5e));
  g.setColorAt(1, QColor(0x1b, 0x55, 0xa6));
  p.fillRect(r, g);
  // Two faint rings on the right: the conversion cycle, as decoration.
  p.setBrush(Qt::NoBrush);
  for (int i = 0; i < 2; ++i) {
    p.setPen(QPen(QColor(255, 255, 255, 22 - i * 8), 14 - i * 5));
    const qreal d = 190 + i * 70;
    p.drawEllipse(QPointF(r.right() - 30, r.top() + 40), d / 2, d / 2);
  }
}

QImage paintSplash() {
  QImage img = blank(341, 209);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  drawBrandBackground(p, img.rect());
  drawLogo(p, QRectF(20, 20, 56, 56));
  drawProductName(p, QPointF(90, 52), 30, Qt::white);
  p.setFont(font("DejaVu Sans", 11));
  p.setPen(QColor(0xb4, 0xcf, 0xf5));
  p.drawText(QPointF(92, 71), QStringLiteral("Outlook PST Conversion Tool"));
  p.setPen(QPen(kGold, 1.2));
  p.drawLine(QPointF(20, 92), QPointF(321, 92));
  p.setFont(font("DejaVu Sans", 10.5));
  p.setPen(Qt::white);
  p.drawText(QRectF(20, 100, 301, 18), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Converts Outlook PST files: ANSI \u2194 Unicode"));
  // Progress segments above the wait line.
  for (int i = 0; i < 24; ++i) {
    const QRectF seg(20 + i * 12.6, 142, 10, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(i < 15 ? QColor(kGold.red(), kGold.green(), kGold.blue(), 120 + i * 9)
                      : QColor(255, 255, 255, 40));
    p.drawRoundedRect(seg, 1.5, 1.5);
  }
  p.setFont(font("DejaVu Sans", 10, QFont::Bold));
  p.setPen(QColor(0xe8, 0xf0, 0xfc));
  p.drawText(QPointF(20, 168), QStringLiteral("Please wait while required files are loaded..."));
  p.setFont(font("DejaVu Sans", 9));
  p.setPen(QColor(0x8f, 0xb2, 0xe3));
  p.drawText(QRectF(20, 182, 301, 18), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("\u00a9 Brantwick Software"));
  p.drawText(QRectF(20, 182, 301, 18), Qt::AlignRight | Qt::AlignVCenter,
             QStringLiteral("Version 2.0  Build 1108"));
  return img;
}

QImage paintAbout() {
  QImage img = blank(341, 209, QColor(0xf7, 0xf9, 0xfc));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  drawBrandBackground(p, QRectF(0, 0, 341, 78));
  p.setPen(QPen(kGold, 2));
  p.drawLine(QPointF(0, 78), QPointF(341, 78));
  drawLogo(p, QRectF(18, 13, 52, 52));
  drawProductName(p, QPointF(84, 43), 27, Qt::white);
  p.setFont(font("DejaVu Sans", 10.5));
  p.setPen(QColor(0xb4, 0xcf, 0xf5));
  p.drawText(QPointF(86, 61), QStringLiteral("Outlook PST Conversion Tool"));

  auto row = [&](qreal y, const QString &label, const QString &value, QColor c, bool bold) {
    p.setFont(font("DejaVu Sans", 10));
    p.setPen(QColor(0x55, 0x5f, 0x6d));
    p.drawText(QPointF(24, y), label);
    p.setFont(font("DejaVu Sans", 10, bold ? QFont::Bold : QFont::Normal));
    p.setPen(c);
    p.drawText(QPointF(94, y), value);
  };
  row(102, QStringLiteral("Version"), QStringLiteral("2.0"), kNavy, true);
  row(120, QStringLiteral("Build"), QStringLiteral("1108"), kNavy, true);
  row(138, QStringLiteral("Web"), QStringLiteral("www.brantwick.com"), kBlue, false);
  row(156, QStringLiteral("E-mail"), QStringLiteral("support@brantwick.com"), kBlue, false);
  p.setPen(QColor(0xd5, 0xdd, 0xe8));
  p.drawLine(QPointF(24, 172), QPointF(317, 172));
  p.setFont(font("DejaVu Sans", 8.5));
  p.setPen(QColor(0x70, 0x7a, 0x88));
  p.drawText(QRectF(24, 176, 293, 28), Qt::AlignLeft | Qt::TextWordWrap,
             QStringLiteral("Copyright \u00a9 Brantwick Software. All rights reserved."));
  drawQuill(p, QRectF(268, 88, 56, 56));
  return img;
}

// The decorative picture on the left of the main window: conversion arrows
// above a mail program's icon rising out of an open box.
QImage paintSidePicture() {
  QImage img = blank(127, 306);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient bg(0, 0, 0, 306);
  bg.setColorAt(0, QColor(0xe9, 0xf1, 0xfc));
  bg.setColorAt(1, QColor(0xc9, 0xdb, 0xf3));
  p.setPen(QPen(QColor(0xa8, 0xc0, 0xe2), 1));
  p.setBrush(bg);
  p.drawRoundedRect(QRectF(0.5, 0.5, 126, 305), 8, 8);

  // Two arrows chasing each other round a circle.
  const QPointF c(63.5, 78);
  const qreal rad = 40;
  auto arrow = [&](qreal startDeg, QColor col) {
    QPainterPath arc;
    const QRectF box(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad);
    arc.arcMoveTo(box, startDeg);
    arc.arcTo(box, startDeg, 140);
    p.setPen(QPen(col, 11, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    const qreal end = (startDeg + 140) * M_PI / 180;
    const QPointF tip(c.x() + rad * std::cos(end), c.y() - rad * std::sin(end));
    const QPointF tangent(-std::sin(end), -std::cos(end));  // direction of travel
    const QPointF normal(std::cos(end), -std::sin(end));
    QPolygonF head;
    head << tip + tangent * 13 << tip + normal * 11 << tip - normal * 11;
    p.setPen(Qt::NoPen);
    p.setBrush(col);
    p.drawPolygon(head);
  };
  arrow(20, QColor(0x2f, 0x80, 0xed));
  arrow(200, QColor(0xf0, 0x9a, 0x1a));
  p.setFont(font("DejaVu Sans", 9, QFont::Bold));
  p.setPen(kNavy);
  p.drawText(QRectF(c.x() - 30, c.y() - 16, 60, 14), Qt::AlignCenter, QStringLiteral("ANSI"));
  p.drawText(QRectF(c.x() - 30, c.y() + 2, 60, 14), Qt::AlignCenter, QStringLiteral("UNICODE"));

  // The open box: back flaps, the mail program's icon, then the front.
  const QRectF box(20, 214, 87, 66);
  QColor card(0xc8, 0x93, 0x56), cardDark(0xa0, 0x6e, 0x38), cardLight(0xe0, 0xb2, 0x78);
  p.setPen(QPen(cardDark.darker(130), 1));
  p.setBrush(cardDark);
  p.drawPolygon(QPolygonF() << box.topLeft() << QPointF(box.left() + 12, box.top() - 18)
                            << QPointF(box.right() - 12, box.top() - 18) << box.topRight());
  drawLogo(p, QRectF(33, 150, 61, 61));
  p.setBrush(cardLight);
  p.drawPolygon(QPolygonF() << box.topLeft() << QPointF(box.left() - 14, box.top() + 22)
                            << QPointF(box.left() + 6, box.top() + 26));
  p.drawPolygon(QPolygonF() << box.topRight() << QPointF(box.right() + 14, box.top() + 22)
                            << QPointF(box.right() - 6, box.top() + 26));
  QLinearGradient front(box.topLeft(), box.bottomLeft());
  front.setColorAt(0, cardLight);
  front.setColorAt(1, card);
  p.setBrush(front);
  p.drawRect(box);
  p.setPen(QPen(cardDark, 3));
  p.drawLine(QPointF(box.center().x(), box.top() + 4), QPointF(box.center().x(), box.top() + 22));
  p.setFont(font("URW Gothic", 10, QFont::DemiBold));
  p.setPen(QColor(0x6b, 0x45, 0x1c));
  p.drawText(box.adjusted(0, 30, 0, 0), Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("PST"));
  // A soft shadow under the box.
  QRadialGradient sh(QPointF(63.5, 288), 50);
  sh.setColorAt(0, QColor(0, 0, 0, 60));
  sh.setColorAt(1, QColor(0, 0, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(sh);
  p.drawEllipse(QPointF(63.5, 288), 52, 7);
  return img;
}

QImage paintStrip() {
  QImage img = blank(497, 2);
  QPainter p(&img);
  QLinearGradient g(0, 0, 497, 0);
  g.setColorAt(0, kNavy);
  g.setColorAt(0.5, kSky);
  g.setColorAt(1, kNavy);
  p.fillRect(QRect(0, 0, 497, 1), g);
  QLinearGradient g2(0, 0, 497, 0);
  g2.setColorAt(0, kGoldDark);
  g2.setColorAt(0.5, kGold);
  g2.setColorAt(1, kGoldDark);
  p.fillRect(QRect(0, 1, 497, 1), g2);
  return img;
}

QImage paintReadingArrow() {
  QImage img = blank(10, 16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QPolygonF a;
  a << QPointF(0.5, 5) << QPointF(4.5, 5) << QPointF(4.5, 1.5) << QPointF(9.5, 8)
    << QPointF(4.5, 14.5) << QPointF(4.5, 11) << QPointF(0.5, 11);
  QLinearGradient g(0, 0, 0, 16);
  g.setColorAt(0, QColor(0xff, 0xe8, 0x4d));
  g.setColorAt(1, QColor(0xf2, 0xb0, 0x00));
  p.setPen(QPen(QColor(0x9a, 0x6a, 0x00), 1));
  p.setBrush(g);
  p.drawPolygon(a);
  return img;
}

QImage paintWindowIcon(int size) {
  QImage img = blank(size, size);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  drawLogo(p, QRectF(0, 0, size, size));
  return img;
}

// The mail-program icon beside the "Supports Outlook ..." label.
QImage paintMailIcon(int size) {
  QImage img = blank(size, size);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QLinearGradient g(0, 0, 0, s);
  g.setColorAt(0, QColor(0x3b, 0x8e, 0xea));
  g.setColorAt(1, QColor(0x10, 0x4d, 0xa8));
  p.setPen(QPen(QColor(0x0a, 0x36, 0x7a), qMax(1.0, s / 24)));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(s * 0.04, s * 0.1, s * 0.62, s * 0.8), s * 0.08, s * 0.08);
  // A message list on the card, the envelope in front of it.
  p.setPen(QPen(QColor(255, 255, 255, 230), qMax(1.0, s / 14), Qt::SolidLine, Qt::FlatCap));
  for (int i = 0; i < 3; ++i) {
    const qreal y = s * (0.26 + 0.13 * i);
    p.drawLine(QPointF(s * 0.12, y), QPointF(s * 0.5, y));
  }
  drawEnvelope(p, QRectF(s * 0.4, s * 0.34, s * 0.56, s * 0.42));
  return img;
}

QImage paintOpenFolder() {
  QImage img = blank(16, 16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor edge(0xa8, 0x74, 0x0c);
  p.setPen(QPen(edge, 1));
  p.setBrush(QColor(0xf2, 0xc1, 0x4e));
  QPolygonF back;
  back << QPointF(1.5, 3.5) << QPointF(6, 3.5) << QPointF(7.5, 5) << QPointF(13.5, 5)
       << QPointF(13.5, 13.5) << QPointF(1.5, 13.5);
  p.drawPolygon(back);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(3.5, 6.5, 8, 4));
  QLinearGradient g(0, 8, 0, 14);
  g.setColorAt(0, QColor(0xff, 0xe0, 0x82));
  g.setColorAt(1, QColor(0xf5, 0xb7, 0x2a));
  p.setPen(QPen(edge, 1));
  p.setBrush(g);
  QPolygonF front;
  front << QPointF(3.5, 8.5) << QPointF(15.5, 8.5) << QPointF(13.5, 13.5) << QPointF(1.5, 13.5);
  p.drawPolygon(front);
  return img;
}

QImage paintBrowseIcon() {
  QImage img = paintOpenFolder();
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x1d, 0x3f, 0x75), 1.6));
  p.setBrush(QColor(0xd9, 0xec, 0xff, 220));
  p.drawEllipse(QPointF(10.5, 6), 3.2, 3.2);
  p.setPen(QPen(QColor(0x1d, 0x3f, 0x75), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(12.8, 8.4), QPointF(15, 10.6));
  return img;
}

QImage paintConvertIcon() {
  QImage img = blank(16, 16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  auto half = [&](qreal start, QColor c) {
    QPainterPath arc;
    const QRectF box(2.5, 2.5, 11, 11);
    arc.arcMoveTo(box, start);
    arc.arcTo(box, start, 130);
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    const qreal end = (start + 130) * M_PI / 180;
    const QPointF tip(8 + 5.5 * std::cos(end), 8 - 5.5 * std::sin(end));
    const QPointF t(-std::sin(end), -std::cos(end)), n(std::cos(end), -std::sin(end));
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(QPolygonF() << tip + t * 3.6 << tip + n * 3.2 << tip - n * 3.2);
  };
  half(30, QColor(0x1f, 0x6f, 0xd8));
  half(210, QColor(0x2e, 0x9e, 0x3e));
  return img;
}

QImage paintRoundBadge(const QString &glyph, QColor top, QColor bottom) {
  QImage img = blank(16, 16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QLinearGradient g(0, 0, 0, 16);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setPen(QPen(bottom.darker(140), 1));
  p.setBrush(g);
  p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  p.setFont(font("DejaVu Sans", 12, QFont::Bold));
  p.setPen(Qt::white);
  p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, glyph);
  return img;
}

// Packs images into a Windows icon file. An image with at most 16 opaque
// colours (and one-bit transparency) is stored as a 4-bit entry, anything
// else as a 32-bit one; each entry carries its AND mask.
bool writeIco(const QString &path, const QStringList &inputs) {
  QByteArray dir, data;
  auto u8 = [](QByteArray &b, int v) { b.append(char(v & 0xff)); };
  auto u16 = [&](QByteArray &b, int v) { u8(b, v); u8(b, v >> 8); };
  auto u32 = [&](QByteArray &b, quint32 v) { u16(b, int(v & 0xffff)); u16(b, int(v >> 16)); };
  u16(dir, 0);
  u16(dir, 1);
  u16(dir, int(inputs.size()));
  const quint32 headerSize = 6 + 16 * quint32(inputs.size());
  for (const QString &in : inputs) {
    const QImage img = QImage(in).convertToFormat(QImage::Format_ARGB32);
    if (img.isNull() || img.width() > 256 || img.height() > 256) {
      std::fprintf(stderr, "paint_assets: cannot use %s\n", qPrintable(in));
      return false;
    }
    const int w = img.width(), h = img.height();
    QList<QRgb> palette;
    bool fourBit = true;
    for (int y = 0; y < h && fourBit; ++y)
      for (int x = 0; x < w && fourBit; ++x) {
        const QRgb c = img.pixel(x, y);
        if (qAlpha(c) == 255 && !palette.contains(c | 0xff000000u)) {
          palette.append(c | 0xff000000u);
          fourBit = palette.size() <= 16;
        } else if (qAlpha(c) != 255 && qAlpha(c) != 0) {
          fourBit = false;
        }
      }
    const int bits = fourBit ? 4 : 32;
    const int xorStride = ((w * bits + 31) / 32) * 4, andStride = ((w + 31) / 32) * 4;
    QByteArray bmp;
    u32(bmp, 40);
    u32(bmp, quint32(w));
    u32(bmp, quint32(h * 2));  // XOR and AND bitmaps stacked
    u16(bmp, 1);
    u16(bmp, bits);
    u32(bmp, 0);
    u32(bmp, quint32((xorStride + andStride) * h));
    u32(bmp, 0);
    u32(bmp, 0);
    u32(bmp, fourBit ? 16 : 0);
    u32(bmp, 0);
    if (fourBit) {
      while (palette.size() < 16)
        palette.append(0xff000000u);
      for (QRgb c : palette) {
        u8(bmp, qBlue(c));
        u8(bmp, qGreen(c));
        u8(bmp, qRed(c));
        u8(bmp, 0);
      }
    }
    for (int y = h - 1; y >= 0; --y) {  // rows bottom-up
      QByteArray row(xorStride, '\0');
      for (int x = 0; x < w; ++x) {
        const QRgb c = img.pixel(x, y);
        if (fourBit) {
          const int index = qAlpha(c) == 255 ? int(palette.indexOf(c | 0xff000000u)) : 0;
          row[x / 2] = char(row[x / 2] | (x % 2 ? index : index << 4));
        } else {
          row[x * 4] = char(qBlue(c));
          row[x * 4 + 1] = char(qGreen(c));
          row[x * 4 + 2] = char(qRed(c));
          row[x * 4 + 3] = char(qAlpha(c));
        }
      }
      bmp.append(row);
    }
    for (int y = h - 1; y >= 0; --y) {
      QByteArray row(andStride, '\0');
      for (int x = 0; x < w; ++x)
        if (qAlpha(img.pixel(x, y)) < 128)
          row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
      bmp.append(row);
    }
    u8(dir, w == 256 ? 0 : w);
    u8(dir, h == 256 ? 0 : h);
    u8(dir, fourBit ? 16 : 0);
    u8(dir, 0);
    u16(dir, 1);
    u16(dir, bits);
    u32(dir, quint32(bmp.size()));
    u32(dir, headerSize + quint32(data.size()));
    data.append(bmp);
  }
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(dir + data) != dir.size() + data.size()) {
    std::fprintf(stderr, "paint_assets: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

bool save(const QImage &img, const QDir &dir, const char *name) {
  const QString path = dir.filePath(QString::fromLatin1(name));
  if (!img.save(path, "PNG")) {
    std::fprintf(stderr, "paint_assets: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  QGuiApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() >= 4 && args[1] == QLatin1String("--ico"))
    return writeIco(args[2], args.mid(3)) ? 0 : 1;
  if (argc != 2) {
    std::fprintf(stderr, "usage: paint_assets OUTPUT_FOLDER | --ico OUT.ico IMAGE...\n");
    return 2;
  }
  QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.mkpath(QStringLiteral(".")))
    return 1;
  bool ok = save(paintSplash(), out, "splash.png") && save(paintAbout(), out, "about.png") &&
            save(paintSidePicture(), out, "side.png") && save(paintStrip(), out, "strip.png") &&
            save(paintReadingArrow(), out, "reading_arrow.png") &&
            save(paintWindowIcon(16), out, "quillmar16.png") &&
            save(paintWindowIcon(32), out, "quillmar32.png") &&
            save(paintWindowIcon(256), out, "quillmar256.png") &&
            save(paintOpenFolder(), out, "small_61.png") &&
            save(paintConvertIcon(), out, "small_37.png") &&
            save(paintRoundBadge(QStringLiteral("?"), QColor(0x4a, 0x9a, 0xf0), QColor(0x12, 0x52, 0xb0)),
                 out, "small_47.png") &&
            save(paintRoundBadge(QStringLiteral("i"), QColor(0x4c, 0xc0, 0x6a), QColor(0x1c, 0x7a, 0x34)),
                 out, "small_48.png") &&
            save(paintBrowseIcon(), out, "browse.png");
  for (int size : {16, 32, 48})
    ok = ok && save(paintMailIcon(size), out, qPrintable(QStringLiteral("mail%1.png").arg(size)));
  return ok ? 0 : 1;
}
