// What main() does to the application before it creates the window, kept
// apart so that the tests set the application up the same way.
#pragma once

class QApplication;

namespace qv {

// The application title "Quorvelle" (the name the desktop shows for the
// program; window captions are left exactly as the windows set them), the
// program's icon, and Qt's own texts in Spanish.
void SetUpApplication(QApplication& app);

// Installs Qt's Spanish translation (Debian's qt6-translations-l10n) and
// makes Spanish the default locale; false when the translation is missing,
// and Qt's dialogs then speak English.
bool LoadSpanish(QApplication& app);

}  // namespace qv
