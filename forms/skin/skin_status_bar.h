// The skinned status bar: text panels of fixed widths side by side, with a
// separator between panels and a size gripper drawn at the right end.
#pragma once

#include <QColor>
#include <QList>
#include <QWidget>

class QLabel;

namespace quillmar::skin {

class SkinStatusBar : public QWidget {
  Q_OBJECT
 public:
  explicit SkinStatusBar(QWidget *parent = nullptr);

  // Adds a panel of `width` pixels showing `text`; returns its label, named
  // "Panel<number>" (numbers from 1). An invalid colour keeps the skin's.
  QLabel *addPanel(int width, const QString &text, bool bold = false,
                   const QColor &color = QColor());
  int panelCount() const { return int(m_panels.size()); }
  QLabel *panel(int number) const;

 protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;

 private:
  void layoutPanels();

  QList<QLabel *> m_panels;
  QList<int> m_widths;
};

}  // namespace quillmar::skin
