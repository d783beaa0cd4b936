#include <QApplication>

#include "app/errorbox.h"
#include "app/pictures.h"
#include "app/sipclientmain.h"

namespace qv {

void SetUpApplication(QApplication& app) {
  // The title goes in as the application name, not as a display name: Qt
  // appends a display name to every window caption on X11 and Wayland.
  QApplication::setApplicationName(QString::fromUtf8(kAppTitle));
  QApplication::setApplicationVersion("0.9.3");
  QApplication::setDesktopFileName("quorvelle");
  QApplication::setWindowIcon(PictureIcon("quorvelle", 48));
  (void)app;
}

}  // namespace qv
