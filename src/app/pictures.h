// The program's pictures: SVG files carried in the Qt resources
// (resources/pictures). They are drawn from the SVG at the size and the
// device pixel ratio of the screen they land on, so they stay sharp at any
// scale, and line art drawn in "currentColor" takes the palette's text
// colour when the theme is dark (on a light theme it keeps the ink colour
// the picture names in its root `color` attribute).
//
// Threads: GUI thread only.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QString>

namespace qv {

// The image list of the status bar and the line buttons.
enum TStatusImage { siOnline = 0, siOffline = 1, siLampOff = 2, siLampLit = 3 };

// ":/pictures/<name>.svg" as an icon that renders itself at every size and
// pixel ratio asked of it; the disabled mode is the style's greyed version.
QIcon PictureIcon(const QString& name);
// One rendering of it, `size` logical pixels square at `ratio` device pixels
// per logical pixel.
QPixmap Picture(const QString& name, int size, qreal ratio = 1.0);
QIcon StatusIcon(int index);  // siOffline is the online picture, greyed

// Whether the palette is a dark one (light text on a dark window).
bool IsDarkPalette(const QPalette& palette);

// An edit field's background: the window colour while it can be typed in,
// the button face while not, both from the application's palette so that a
// dark theme stays dark.
void PaintEditable(QLineEdit* edit, bool editable);

// A label that shows a picture at its own size and at the screen's pixel
// ratio (QLabel's pixmap would be drawn from a single bitmap).
class TPictureLabel : public QLabel {
  Q_OBJECT
public:
  TPictureLabel(const QString& picture, int size, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }
  void SetSize(int size);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QIcon icon_;
  int size_;
};

}  // namespace qv
