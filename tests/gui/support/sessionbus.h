// A private D-Bus session bus for one GUI test program: a dbus-daemon
// started by the test (with no service directories, so nothing is started
// behind the test's back), whose address goes into DBUS_SESSION_BUS_ADDRESS
// before Qt first looks at the session bus.
//
// And a stand-in for the desktop's notification service
// (org.freedesktop.Notifications) on that bus, recording what it is asked.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>
#include <vector>

#include "support/peer_process.h"

namespace qv::test {

class TSessionBus {
public:
  // Starts the daemon and sets DBUS_SESSION_BUS_ADDRESS; false on failure.
  bool Start();

private:
  std::unique_ptr<TPeerDir> dir_;
  std::unique_ptr<TPeerProcess> daemon_;
};

class TStubNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
  struct TShown {
    uint Id;
    QString Summary, Body;
    QStringList Actions;
    QVariantMap Hints;
  };

  // Takes the service's name on a connection of its own; `actions`: whether
  // it says it can show actions.
  explicit TStubNotifications(bool actions);
  ~TStubNotifications() override;
  bool Registered() const { return registered_; }

  std::vector<TShown> Shown;
  std::vector<uint> Closed;  // CloseNotification calls

  // The user picks an action of notification `id`.
  void Invoke(uint id, const QString& action) { emit ActionInvoked(id, action); }

public slots:
  QStringList GetCapabilities();
  uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout);
  void CloseNotification(uint id);

signals:
  void ActionInvoked(uint id, const QString& action);
  void NotificationClosed(uint id, uint reason);

private:
  QString connection_;
  bool actions_;
  bool registered_ = false;
  uint next_ = 1;
};

}  // namespace qv::test
