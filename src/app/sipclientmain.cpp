// quorvelle: the desktop softphone.
#include <QApplication>

#include "app/errorbox.h"
#include "app/mainframe.h"
#include "app/pictures.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvelle");
  QApplication::setApplicationDisplayName(QString::fromUtf8(qv::kAppTitle));
  QApplication::setApplicationVersion("0.9.3");
  QApplication::setDesktopFileName("quorvelle");
  QApplication::setWindowIcon(qv::PictureIcon("quorvelle", 48));
  qv::TMainForm form;
  form.show();
  return app.exec();
}
