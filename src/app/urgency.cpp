#include "app/urgency.h"

#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

// WM_HINTS is nine 32-bit fields, the flags first.
constexpr int kHintFields = 9;
constexpr uint32_t kUrgencyHint = 1u << 8;

}  // namespace

void SetUrgencyHint(QWidget* window, bool urgent) {
  // Other platforms may answer for X11 too (offscreen does, with no
  // connection behind it): only the xcb platform's connection is the X server.
  if (QGuiApplication::platformName() != "xcb" || !window->windowHandle()) return;
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return;
  auto id = xcb_window_t(window->winId());
  // Keep what Qt put there (input focus, window group): change one bit.
  uint32_t hints[kHintFields] = {};
  xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, kHintFields);
  if (xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr)) {
    int fields = std::min(xcb_get_property_value_length(reply) / 4, kHintFields);
    if (fields > 0) std::memcpy(hints, xcb_get_property_value(reply), size_t(fields) * 4);
    std::free(reply);
  }
  hints[0] = urgent ? hints[0] | kUrgencyHint : hints[0] & ~kUrgencyHint;
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32,
                      kHintFields, hints);
  xcb_flush(connection);
}

}  // namespace qv
