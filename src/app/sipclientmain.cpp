// quorvelle: the desktop softphone.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/diallinks.h"
#include "app/mainframe.h"
#include "app/singleinstance.h"
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

  // A sip: or tel: link from the desktop, if any.
  QString link;
  for (const QString& argument : app.arguments().mid(1))
    if (qv::IsDialLink(argument)) link = argument;

  // One phone per user: a second start hands its link to the first.
  qv::TSingleInstance instance;
  if (instance.HandOver(link.isEmpty() ? QStringLiteral("raise") : "open " + link)) return 0;
  instance.Listen();

  qv::TMainForm form;
  instance.OnRequest = [&form](const QString& request) {
    if (request.startsWith("open "))
      form.OpenLink(request.mid(5));
    else
      form.RaiseWindow();
  };
  QObject::connect(&form, &qv::TMainForm::QuitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);

  // Ctrl-C or a logout closes the window like the user would: the settings
  // are written and the registrar and the peers hear goodbye.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form, &app] {
      char byte;
      [[maybe_unused]] ssize_t n = read(signalPipe[0], &byte, 1);
      form.close();
      // A window hidden in the tray is no last window to close.
      app.quit();
    });
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
  }

  // The start-up (settings, registration) runs as the window shows; the
  // link's number goes in after it, over the last number dialled.
  form.show();
  if (!link.isEmpty()) form.OpenLink(link);
  return app.exec();
}
