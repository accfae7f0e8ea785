// The image list: images of one size, numbered from 1, that toolbars and
// menus refer to by number.
#pragma once

#include <QIcon>
#include <QMap>
#include <QObject>
#include <QPixmap>
#include <QSize>

namespace quillmar::skin {

class SkinImageList : public QObject {
  Q_OBJECT
 public:
  explicit SkinImageList(QObject *parent = nullptr);

  QSize imageSize() const { return m_imageSize; }
  void setImageSize(const QSize &size) { m_imageSize = size; }

  // Puts an image at `number` (from 1), scaled to the list's size when it
  // differs. Returns false for a number below 1 or a null image.
  bool setImage(int number, const QPixmap &image);
  // The image at `number`, or a null pixmap where there is none.
  QPixmap image(int number) const;
  QIcon icon(int number) const;
  bool contains(int number) const { return m_images.contains(number); }

 private:
  QSize m_imageSize{16, 16};
  QMap<int, QPixmap> m_images;
};

}  // namespace quillmar::skin
