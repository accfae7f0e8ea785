#include "forms/skin/skin_image_list.h"

namespace quillmar::skin {

SkinImageList::SkinImageList(QObject *parent) : QObject(parent) {}

bool SkinImageList::setImage(int number, const QPixmap &image) {
  if (number < 1 || image.isNull())
    return false;
  m_images.insert(number, image.size() == m_imageSize
                              ? image
                              : image.scaled(m_imageSize, Qt::KeepAspectRatio,
                                             Qt::SmoothTransformation));
  return true;
}

QPixmap SkinImageList::image(int number) const { return m_images.value(number); }

QIcon SkinImageList::icon(int number) const {
  const QPixmap pixmap = image(number);
  return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

}  // namespace quillmar::skin
