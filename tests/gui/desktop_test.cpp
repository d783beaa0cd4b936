// gui_desktop: the window on a Linux desktop, driven offscreen with a peer
// and a registrar on loopback and a private session bus for the desktop's
// notification service.
#include <QApplication>
#include <QTest>
#include <cstdio>

#include "app/sipclientmain.h"
#include "desktop/suites.h"
#include "support/netns.h"
#include "support/sessionbus.h"

int main(int argc, char** argv) {
  if (!qv::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: test not run\n");
    return 1;
  }
  // Before Qt first looks at the session bus.
  qv::test::TSessionBus bus;
  if (!bus.Start()) {
    std::fprintf(stderr, "no private session bus (dbus-daemon): test not run\n");
    return 1;
  }
  QApplication app(argc, argv);
  qv::SetUpApplication(app);
  int failed = 0;
  std::unique_ptr<QObject> suites[] = {qv::test::MakeOnlineSuite(), qv::test::MakeKeyboardSuite(),
                                       qv::test::MakeDesktopSuite(), qv::test::MakeLinksSuite()};
  for (auto& suite : suites) failed += QTest::qExec(suite.get(), argc, argv);
  return failed;
}
