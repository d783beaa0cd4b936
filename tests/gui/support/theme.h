// A dark theme for the GUI tests, as a desktop's dark GTK theme hands it to
// Qt: light text on dark windows and fields.
#pragma once

#include <QColor>
#include <QImage>
#include <QPalette>

namespace qv::test {

QPalette DarkPalette();

// The largest difference in lightness between a pixel of `image` (opaque
// enough to be seen) and `background`: 0 when everything blends in.
int InkContrast(const QImage& image, const QColor& background);

}  // namespace qv::test
