// The program's pictures: SVG files carried in the Qt resources
// (resources/pictures), rendered at the size a widget needs.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace qv {

// The image list of the status bar and the line buttons.
enum TStatusImage { siOnline = 0, siOffline = 1, siLampOff = 2, siLampLit = 3 };

QPixmap Picture(const QString& name, int size);  // ":/pictures/<name>.svg"
QIcon PictureIcon(const QString& name, int size = 24);
QPixmap StatusImage(int index, int size = 16);

}  // namespace qv
