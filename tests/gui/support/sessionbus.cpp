#include "support/sessionbus.h"

#include <QDBusConnection>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace qv::test {

bool TSessionBus::Start() {
  dir_ = std::make_unique<TPeerDir>();
  std::string config = dir_->File("session.conf");
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n"
                           "  <type>session</type>\n"
                           "  <listen>unix:dir=" + dir_->Path() + "</listen>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n";
  daemon_ = std::make_unique<TPeerProcess>(
      std::vector<std::string>{"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"},
      dir_->File("dbus.log"), dir_->Path());
  if (!daemon_->WaitForLog("unix:", 5000)) return false;
  std::smatch m;
  std::string log = daemon_->Log();
  if (!std::regex_search(log, m, std::regex("unix:[^\\s]+"))) return false;
  setenv("DBUS_SESSION_BUS_ADDRESS", m.str().c_str(), 1);
  return true;
}

TStubNotifications::TStubNotifications(bool actions) : actions_(actions) {
  static int count = 0;
  connection_ = QStringLiteral("stub-notifications-%1").arg(++count);
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection_);
  registered_ = bus.isConnected() && bus.registerObject("/org/freedesktop/Notifications", this,
                                                        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
                bus.registerService("org.freedesktop.Notifications");
}

TStubNotifications::~TStubNotifications() {
  {
    QDBusConnection bus(connection_);
    bus.unregisterService("org.freedesktop.Notifications");
    bus.unregisterObject("/org/freedesktop/Notifications");
  }
  QDBusConnection::disconnectFromBus(connection_);
}

QStringList TStubNotifications::GetCapabilities() {
  QStringList caps = {"body"};
  if (actions_) caps << "actions";
  return caps;
}

uint TStubNotifications::Notify(const QString&, uint replaces, const QString&, const QString& summary,
                                const QString& body, const QStringList& actions, const QVariantMap& hints, int) {
  uint id = replaces != 0 ? replaces : next_++;
  Shown.push_back({id, summary, body, actions, hints});
  return id;
}

void TStubNotifications::CloseNotification(uint id) {
  Closed.push_back(id);
  emit NotificationClosed(id, 3);
}

}  // namespace qv::test
