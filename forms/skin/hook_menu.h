// The hook menu: the skinned menu bar of a window. It shows each top-level
// caption with a trailing blank and draws an image beside every item whose
// key it holds; an item's key is "#" + its object name + ":" + its index in
// its control array (the item's "index" property), e.g. "#mnuOpen:0".
#pragma once

#include <QHash>
#include <QMenuBar>
#include <QPointer>

class QMenu;

#include "forms/skin/skin_image_list.h"

namespace quillmar::skin {

class HookMenu : public QMenuBar {
  Q_OBJECT
 public:
  explicit HookMenu(QWidget *parent = nullptr);

  void setImageList(SkinImageList *images);
  // The image (a number in the image list) drawn beside the item with `key`.
  void setItemImage(const QString &key, int imageNumber);

  // Adds a top-level menu, shown as its title and one blank, and hooks its
  // items (also items added to it later).
  QAction *addHookedMenu(QMenu *menu);

  // "#name:index" of an item; "#name:" for an item outside a control array.
  static QString itemKey(const QAction *action);

 private:
  void hook(QMenu *menu);

  QPointer<SkinImageList> m_images;
  QHash<QString, int> m_itemImages;
};

}  // namespace quillmar::skin
