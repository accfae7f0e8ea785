// The about window: one picture with the product, its version and build and
// the maker's addresses. Shown modally over its owner; closed by its close
// control.
#pragma once

#include <QDialog>

namespace quillmar::forms {

class frmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit frmAbout(QWidget *owner);
  // Centres the window on its owner before it is shown.
  void setVisible(bool visible) override;

 protected:
  void keyPressEvent(QKeyEvent *event) override;
};

}  // namespace quillmar::forms
