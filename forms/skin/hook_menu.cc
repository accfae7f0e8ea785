#include "forms/skin/hook_menu.h"

#include <QMenu>

#include "forms/skin/skin_image_list.h"

namespace quillmar::skin {
namespace {

const char kMenuBarSheet[] = R"(
QMenuBar {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fbfcfe, stop:1 #d9e3f1);
  border-bottom: 1px solid #a9bbd6;
  padding: 1px 4px;
}
QMenuBar::item { background: transparent; color: #1d2633; padding: 4px 9px; margin: 1px 0; }
QMenuBar::item:selected { background: #cfe0f7; border: 1px solid #6f98d4; border-radius: 3px; }
QMenuBar::item:pressed { background: #b9d1f2; border: 1px solid #4f7fc4; border-radius: 3px; }
)";

const char kMenuSheet[] = R"(
QMenu { background: #ffffff; border: 1px solid #7f9cc9; padding: 3px; }
QMenu::item { color: #1d2633; padding: 5px 28px 5px 28px; border: 1px solid transparent; }
QMenu::item:selected { background: #cfe0f7; border: 1px solid #6f98d4; border-radius: 3px; }
QMenu::item:disabled { color: #9aa3b0; }
QMenu::icon { padding-left: 6px; }
QMenu::separator { height: 1px; background: #c9d6e8; margin: 4px 6px 4px 28px; }
)";

}  // namespace

HookMenu::HookMenu(QWidget *parent) : QMenuBar(parent) {
  setNativeMenuBar(false);  // the bar sits inside the window at its own place
  setStyleSheet(QString::fromLatin1(kMenuBarSheet));
}

void HookMenu::setImageList(SkinImageList *images) { m_images = images; }

void HookMenu::setItemImage(const QString &key, int imageNumber) {
  m_itemImages.insert(key, imageNumber);
  for (QAction *top : actions())
    if (top->menu())
      hook(top->menu());
}

QAction *HookMenu::addHookedMenu(QMenu *menu) {
  menu->setTitle(menu->title() + QLatin1Char(' '));
  menu->setStyleSheet(QString::fromLatin1(kMenuSheet));
  QAction *action = addMenu(menu);
  hook(menu);
  connect(menu, &QMenu::aboutToShow, this, [this, menu] { hook(menu); });
  return action;
}

QString HookMenu::itemKey(const QAction *action) {
  const QVariant index = action->property("index");
  return QLatin1Char('#') + action->objectName() + QLatin1Char(':') +
         (index.isValid() ? QString::number(index.toInt()) : QString());
}

void HookMenu::hook(QMenu *menu) {
  for (QAction *item : menu->actions()) {
    if (item->isSeparator())
      continue;
    const auto found = m_itemImages.constFind(itemKey(item));
    if (found != m_itemImages.constEnd() && m_images)
      item->setIcon(m_images->icon(found.value()));
  }
}

}  // namespace quillmar::skin
