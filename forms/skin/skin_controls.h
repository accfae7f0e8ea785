// The small skinned controls: text box, button, option button, frame and
// label. Each is its Qt counterpart with the skin's look and the few
// properties the windows use.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace quillmar::skin {

// A text box; a locked box shows its text but takes no typing.
class SkinTextBox : public QLineEdit {
  Q_OBJECT
  Q_PROPERTY(bool locked READ isLocked WRITE setLocked)
 public:
  explicit SkinTextBox(QWidget *parent = nullptr);
  bool isLocked() const { return isReadOnly(); }
  void setLocked(bool locked) { setReadOnly(locked); }
};

// A push button; it raises clicked only while enabled.
class SkinButton : public QPushButton {
  Q_OBJECT
 public:
  explicit SkinButton(const QString &caption, QWidget *parent = nullptr);
};

// An option button with two flags: its selection, and its availability (an
// unavailable option is shown greyed out and cannot be chosen). Options of
// one parent exclude each other when the user picks one; set by code, each
// keeps exactly the selection it is given.
class SkinOptionButton : public QRadioButton {
  Q_OBJECT
  Q_PROPERTY(bool available READ isAvailable WRITE setAvailable)
 public:
  explicit SkinOptionButton(const QString &caption, QWidget *parent = nullptr);
  bool isAvailable() const { return isEnabled(); }
  void setAvailable(bool available) { setEnabled(available); }
  bool isSelected() const { return isChecked(); }
  void setSelected(bool selected) { setChecked(selected); }
  void setTextColor(const QColor &color);
};

// A frame with a caption; hiding it hides what it holds.
class SkinFrame : public QGroupBox {
  Q_OBJECT
 public:
  explicit SkinFrame(const QString &caption, QWidget *parent = nullptr);
};

// A label drawn over the window's background.
class SkinLabel : public QLabel {
  Q_OBJECT
 public:
  explicit SkinLabel(const QString &caption, QWidget *parent = nullptr);
};

}  // namespace quillmar::skin
