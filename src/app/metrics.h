// Sizes that follow the font. The window was laid out for a 9 pt font whose
// line is 14 pixels high; a size given in those pixels is scaled by the
// present font's line height over 14, and never made smaller, so a larger
// desktop font (or dpi) gives larger controls instead of clipped text. The
// screen's scale factor needs nothing here: Qt lays out in logical pixels.
//
// Threads: GUI thread only.
#pragma once

#include <QFontMetricsF>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cmath>

class QPushButton;

namespace qv {

inline constexpr double kDesignLineHeight = 14.0;

inline double FontScale(const QFont& font) {
  return std::max(1.0, QFontMetricsF(font).height() / kDesignLineHeight);
}

// `designPixels` at the widget's font.
inline int Scaled(const QWidget* widget, int designPixels) {
  return int(std::lround(designPixels * FontScale(widget->font())));
}

// `base` made `factor` times as large, so that a font the window enlarges
// (the number field, the keypad) keeps its relation to the desktop's font.
inline QFont Enlarged(QFont base, double factor) {
  if (base.pointSizeF() > 0)
    base.setPointSizeF(base.pointSizeF() * factor);
  else
    base.setPixelSize(int(std::lround(base.pixelSize() * factor)));
  return base;
}

// The width a push button needs for the longest of its captions beside its
// picture (unless `withIcon` is false): the text's font-metrics box plus the
// style's padding, without the style's minimum width for ordinary buttons
// (keys and rows of buttons are narrower than that on purpose).
int ButtonWidthFor(const QPushButton* button, const QStringList& captions, bool withIcon = true);

// Lets a push button shrink to ButtonWidthFor its captions: the style's
// wider hint stays what it gets when there is room.
void ShrinkToText(QPushButton* button, const QStringList& captions);

}  // namespace qv
