// quorvelle: the desktop softphone.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/mainframe.h"
#include "app/sipclientmain.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char one = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &one, 1);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qv::SetUpApplication(app);
  qv::TMainForm form;

  // Ctrl-C or a logout closes the window like the user would: the settings
  // are written and the registrar and the peers hear goodbye.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
      char byte;
      [[maybe_unused]] ssize_t n = read(signalPipe[0], &byte, 1);
      form.close();
    });
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
  }

  form.show();
  return app.exec();
}
