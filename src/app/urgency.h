// The urgency hint of an X11 window (ICCCM 4.1.2.4, WM_HINTS UrgencyHint),
// which window managers that follow the ICCCM show as a blinking task or
// workspace. Qt's own QApplication::alert asks for attention the EWMH way
// (_NET_WM_STATE_DEMANDS_ATTENTION) only; the window asks both ways.
// Elsewhere than on X11 this does nothing.
//
// Threads: GUI thread only.
#pragma once

class QWidget;

namespace qv {

void SetUrgencyHint(QWidget* window, bool urgent);

}  // namespace qv
