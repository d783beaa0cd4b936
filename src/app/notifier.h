// TDesktopNotifier: tells the desktop about an incoming call. Where the
// freedesktop notification service runs on the session bus
// (org.freedesktop.Notifications), the notification carries the caller and,
// when the service offers actions, "Contestar" and "Rechazar"; without the
// service, the tray icon shows the message (no actions: a click on it
// raises the window); without either, nothing is shown and the window's own
// raising and urgency hint have to do.
//
// Every bus call is asynchronous: a slow or stuck notification service
// never holds up the window.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QDBusPendingCallWatcher;
class QSystemTrayIcon;

namespace qv {

class TDesktopNotifier : public QObject {
  Q_OBJECT
public:
  // `tray` may be nullptr (no notification area).
  TDesktopNotifier(QSystemTrayIcon* tray, QObject* parent);
  ~TDesktopNotifier() override;

  // Shows the call, replacing a call shown before. `answer` and `reject`
  // run when the user picks the action (service with actions only).
  void ShowCall(const QString& title, const QString& body, std::function<void()> answer,
                std::function<void()> reject);
  // Takes the call's notification away (it was answered, rejected or ended).
  void CloseCall();

  enum class TWay { None, Service, Tray };
  // How the last call was shown, and with what; for tests.
  TWay LastWay() const { return lastWay_; }
  QString LastTitle() const { return lastTitle_; }
  QString LastBody() const { return lastBody_; }
  QStringList LastActions() const { return lastActions_; }
  bool Showing() const { return showing_; }

private slots:
  void OnActionInvoked(uint id, const QString& action);
  void OnClosed(uint id, uint reason);

private:
  void AskCapabilities();
  bool ServiceRunning() const;

  QSystemTrayIcon* tray_;
  bool bus_ = false;          // connected to the session bus
  bool actions_ = false;      // the service said it has actions
  uint id_ = 0;               // the service's id of the call's notification
  bool showing_ = false;
  bool closeWhenShown_ = false;  // closed before the service said its id
  std::function<void()> answer_;
  std::function<void()> reject_;
  TWay lastWay_ = TWay::None;
  QString lastTitle_, lastBody_;
  QStringList lastActions_;
};

}  // namespace qv
