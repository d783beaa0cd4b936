// What main() does to the application before it creates the window, kept
// apart so that the tests set the application up the same way.
#pragma once

class QApplication;

namespace qv {

// The application title "Quorvelle" (the name the desktop shows for the
// program; window captions are left exactly as the windows set them) and
// the program's icon.
void SetUpApplication(QApplication& app);

}  // namespace qv
