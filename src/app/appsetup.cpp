#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

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
  QApplication::setWindowIcon(PictureIcon("quorvelle"));
  LoadSpanish(app);
}

bool LoadSpanish(QApplication& app) {
  // The program speaks Spanish whatever the desktop's language: Qt's own
  // buttons and dialogs ("Yes", "OK", the save dialog) must too.
  QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
  auto* translator = new QTranslator(&app);
  if (!translator->load(QLocale(QLocale::Spanish), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QApplication::installTranslator(translator);
  return true;
}

}  // namespace qv
