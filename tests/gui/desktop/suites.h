// The suites of the gui_desktop program: the window as a Linux desktop user
// meets it (going online and why it fails, the keyboard, incoming calls on
// the desktop, the tray menu, links and the single instance, Qt's texts).
#pragma once

#include <QObject>
#include <memory>

namespace qv::test {

std::unique_ptr<QObject> MakeOnlineSuite();
std::unique_ptr<QObject> MakeKeyboardSuite();
std::unique_ptr<QObject> MakeDesktopSuite();
std::unique_ptr<QObject> MakeLinksSuite();

}  // namespace qv::test
