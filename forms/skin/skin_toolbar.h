// The skinned toolbar. Its items are numbered from 1 in the order they were
// added, separators included; a click on an enabled button raises
// buttonClick with the button's number. Separators and disabled buttons
// raise nothing.
#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

class QHBoxLayout;
class QToolButton;

#include "forms/skin/skin_image_list.h"

namespace quillmar::skin {

class SkinToolBar : public QWidget {
  Q_OBJECT
 public:
  explicit SkinToolBar(QWidget *parent = nullptr);

  void setImageList(SkinImageList *images) { m_images = images; }

  // Adds a button named `key` with its caption under its image (a number in
  // the image list). Returns the button.
  QToolButton *addButton(const QString &key, const QString &caption, int imageNumber,
                         bool enabled = true);
  // Adds a separator named `key`.
  QWidget *addSeparator(const QString &key);

  int count() const { return int(m_items.size()); }
  // The item with `number` (from 1, separators counted), or nullptr.
  QWidget *button(int number) const;
  bool isSeparator(int number) const;
  // Sets the enabled flag of the item with `number`; false when there is none.
  bool setButtonEnabled(int number, bool enabled);
  // Redraws every item.
  void refresh();

 signals:
  void buttonClick(int number);

 protected:
  void paintEvent(QPaintEvent *event) override;

 private:
  QPointer<SkinImageList> m_images;
  QHBoxLayout *m_layout;
  QList<QWidget *> m_items;
};

}  // namespace quillmar::skin
