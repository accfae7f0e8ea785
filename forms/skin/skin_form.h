// The skin control of a window: a title band across the top of the window
// with its icon, its caption in the title font and the caption buttons.
//
//   SkinForm *skin = new SkinForm(window);
//   skin->setGeometry(0, 0, window->width(), 30);
//   skin->attach(window, true);      // the band replaces the system frame
//   skin->setMaximizeDisabled(true);
//
// The band follows the window's title and icon, moves the window when
// dragged, and its close button closes the window as the system's would.
#pragma once

#include <QPointer>
#include <QWidget>

class QToolButton;

namespace quillmar::skin {

class SkinForm : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool maximizeDisabled READ maximizeDisabled WRITE setMaximizeDisabled)

 public:
  explicit SkinForm(QWidget *parent = nullptr);

  // Skins `window`. With ownTitleBar the window loses its system frame and
  // this band becomes its title bar; call it before the window is shown.
  void attach(QWidget *window, bool ownTitleBar);
  QWidget *skinnedWindow() const { return m_window; }
  bool ownsTitleBar() const { return m_ownTitleBar; }

  bool maximizeDisabled() const { return m_maximizeDisabled; }
  void setMaximizeDisabled(bool disabled);

  QToolButton *minimizeButton() const { return m_minimize; }
  QToolButton *maximizeButton() const { return m_maximize; }
  QToolButton *closeButton() const { return m_close; }

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;
  void mousePressEvent(QMouseEvent *event) override;
  void mouseMoveEvent(QMouseEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;
  void mouseDoubleClickEvent(QMouseEvent *event) override;

 private:
  void applyWindowFlags();
  void toggleMaximized();

  QPointer<QWidget> m_window;
  bool m_ownTitleBar = false;
  bool m_maximizeDisabled = false;
  QToolButton *m_minimize;
  QToolButton *m_maximize;
  QToolButton *m_close;
  bool m_dragging = false;
  QPoint m_dragOffset;
};

}  // namespace quillmar::skin
