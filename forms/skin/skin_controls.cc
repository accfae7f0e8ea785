#include "forms/skin/skin_controls.h"

#include "forms/skin/skin_style.h"

namespace quillmar::skin {
namespace {

const char kTextBoxSheet[] = R"(
QLineEdit { background: #ffffff; color: #1d2633; border: 1px solid #8fa9cf; border-radius: 2px;
            padding: 1px 4px; selection-background-color: #3b78d0; }
QLineEdit:focus { border: 1px solid #3b78d0; }
)";

const char kButtonSheet[] = R"(
QPushButton { color: #10233f; border: 1px solid #6f8fbf; border-radius: 3px; padding: 2px 8px;
              background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #eaf1fb,
                                          stop:0.51 #dbe7f7, stop:1 #c9daf2); }
QPushButton:hover { border: 1px solid #3b78d0;
                    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #e3eefc,
                                                stop:0.51 #cde1fa, stop:1 #b6d0f3); }
QPushButton:pressed { background: #b4cdee; border: 1px solid #2f63b0; }
QPushButton:focus { border: 1px solid #3b78d0; }
QPushButton:disabled { color: #9aa3b0; border: 1px solid #b9c6d8;
                       background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fafbfc, stop:1 #e4e9f0); }
)";

const char kFrameSheet[] = R"(
QGroupBox { border: 1px solid #9fb4d4; border-radius: 4px; margin-top: 7px;
            background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgba(255,255,255,170),
                                        stop:1 rgba(255,255,255,90)); }
QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 8px; padding: 0;
                   color: #0d3a7a; }
)";

}  // namespace

SkinTextBox::SkinTextBox(QWidget *parent) : QLineEdit(parent) {
  setStyleSheet(QString::fromLatin1(kTextBoxSheet));
}

SkinButton::SkinButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {
  setStyleSheet(QString::fromLatin1(kButtonSheet));
  setCursor(Qt::PointingHandCursor);
}

SkinOptionButton::SkinOptionButton(const QString &caption, QWidget *parent)
    : QRadioButton(caption, parent) {
  setAutoExclusive(false);  // code sets each selection exactly as it says
  setAttribute(Qt::WA_TranslucentBackground);
  setTextColor(palette::kOptionText);
  connect(this, &QRadioButton::clicked, this, [this](bool checked) {
    if (!checked) {  // a second click on a chosen option keeps it chosen
      setChecked(true);
      return;
    }
    for (QObject *sibling : this->parent() ? this->parent()->children() : QObjectList()) {
      auto *option = qobject_cast<SkinOptionButton *>(sibling);
      if (option && option != this)
        option->setChecked(false);
    }
  });
}

void SkinOptionButton::setTextColor(const QColor &color) {
  QPalette pal = palette();
  pal.setColor(QPalette::Active, QPalette::WindowText, color);
  pal.setColor(QPalette::Inactive, QPalette::WindowText, color);
  pal.setColor(QPalette::Disabled, QPalette::WindowText, palette::kDisabledText);
  setPalette(pal);
}

SkinFrame::SkinFrame(const QString &caption, QWidget *parent) : QGroupBox(caption, parent) {
  setStyleSheet(QString::fromLatin1(kFrameSheet));
}

SkinLabel::SkinLabel(const QString &caption, QWidget *parent) : QLabel(caption, parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, palette::kText);
  setPalette(pal);
}

}  // namespace quillmar::skin
