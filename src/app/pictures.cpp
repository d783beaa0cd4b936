#include "app/pictures.h"

#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

namespace qv {

QPixmap Picture(const QString& name, int size) {
  QSvgRenderer renderer(QStringLiteral(":/pictures/%1.svg").arg(name));
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  if (renderer.isValid()) {
    QPainter painter(&pixmap);
    renderer.render(&painter);
  }
  return pixmap;
}

QIcon PictureIcon(const QString& name, int size) {
  QIcon icon;
  icon.addPixmap(Picture(name, size));
  icon.addPixmap(Picture(name, size * 2));
  return icon;
}

QPixmap StatusImage(int index, int size) {
  switch (index) {
    case siOnline:
      return Picture("online", size);
    case siOffline:
      return QIcon(Picture("online", size)).pixmap(size, QIcon::Disabled);
    case siLampOff:
      return Picture("lamp_off", size);
    default:
      return Picture("lamp_on", size);
  }
}

}  // namespace qv
