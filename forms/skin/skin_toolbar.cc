#include "forms/skin/skin_toolbar.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QToolButton>

#include "forms/skin/skin_image_list.h"
#include "forms/skin/skin_style.h"

namespace quillmar::skin {
namespace {

const char kButtonSheet[] = R"(
QToolButton { color: #1d2633; background: transparent; border: 1px solid transparent;
              border-radius: 3px; padding: 2px 4px 1px 4px; }
QToolButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f2f7fe, stop:1 #cfe0f7);
                    border: 1px solid #6f98d4; }
QToolButton:pressed { background: #b9d1f2; border: 1px solid #4f7fc4; }
QToolButton:disabled { color: #9aa3b0; }
)";

// An etched vertical line between groups of buttons.
class Separator : public QWidget {
 public:
  explicit Separator(QWidget *parent) : QWidget(parent) { setFixedWidth(10); }

 protected:
  void paintEvent(QPaintEvent *) override {
    QPainter p(this);
    const int x = width() / 2;
    p.setPen(palette::kBarLine);
    p.drawLine(x, 6, x, height() - 7);
    p.setPen(Qt::white);
    p.drawLine(x + 1, 6, x + 1, height() - 7);
  }
};

}  // namespace

SkinToolBar::SkinToolBar(QWidget *parent) : QWidget(parent), m_layout(new QHBoxLayout(this)) {
  m_layout->setContentsMargins(4, 1, 4, 2);
  m_layout->setSpacing(1);
  m_layout->addStretch(1);
}

QToolButton *SkinToolBar::addButton(const QString &key, const QString &caption, int imageNumber,
                                    bool enabled) {
  auto *button = new QToolButton(this);
  button->setObjectName(key);
  button->setText(caption);
  button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  button->setFocusPolicy(Qt::NoFocus);
  button->setIconSize(m_images ? m_images->imageSize() : QSize(16, 16));
  if (m_images)
    button->setIcon(m_images->icon(imageNumber));
  button->setStyleSheet(QString::fromLatin1(kButtonSheet));
  button->setMinimumWidth(52);
  button->setEnabled(enabled);
  m_items.append(button);
  const int number = int(m_items.size());
  button->setProperty("number", number);
  connect(button, &QToolButton::clicked, this, [this, number] { emit buttonClick(number); });
  m_layout->insertWidget(m_layout->count() - 1, button);
  return button;
}

QWidget *SkinToolBar::addSeparator(const QString &key) {
  auto *separator = new Separator(this);
  separator->setObjectName(key);
  m_items.append(separator);
  separator->setProperty("number", int(m_items.size()));
  m_layout->insertWidget(m_layout->count() - 1, separator);
  return separator;
}

QWidget *SkinToolBar::button(int number) const {
  return number >= 1 && number <= count() ? m_items[number - 1] : nullptr;
}

bool SkinToolBar::isSeparator(int number) const {
  QWidget *item = button(number);
  return item && !qobject_cast<QToolButton *>(item);
}

bool SkinToolBar::setButtonEnabled(int number, bool enabled) {
  QWidget *item = button(number);
  if (!item)
    return false;
  item->setEnabled(enabled);
  return true;
}

void SkinToolBar::refresh() {
  for (QWidget *item : std::as_const(m_items))
    item->update();
  update();
}

void SkinToolBar::paintEvent(QPaintEvent *) {
  QPainter p(this);
  paintBarBackground(p, rect());
}

}  // namespace quillmar::skin
