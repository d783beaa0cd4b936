// The no-clipping check: every visible label, button, check box, field,
// list, group box title, header section, the line display and the status
// bar's panels is at least as large as the font-metrics box of the text it
// shows (plus what the style draws around the text: a button's bevel, a
// field's frame). A control the layout squeezed below that cuts its text.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace qv::test {

// The controls inside `window` (itself included) that cut their text, one
// line each: object name or class, its text, its size, the size it needs.
QStringList ClippedControls(QWidget* window);

}  // namespace qv::test
