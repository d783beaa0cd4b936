#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace qv {

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
const char* const kAnswerKey = "contestar";
const char* const kRejectKey = "rechazar";
// The tray's message has no way to be taken back: it goes after a while.
constexpr int kTrayMessageMs = 20000;

QDBusMessage Call(const char* method) {
  return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

}  // namespace

TDesktopNotifier::TDesktopNotifier(QSystemTrayIcon* tray, QObject* parent) : QObject(parent), tray_(tray) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus_ = bus.isConnected();
  if (!bus_) return;
  bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
  bus.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(OnClosed(uint, uint)));
  AskCapabilities();
}

TDesktopNotifier::~TDesktopNotifier() { CloseCall(); }

bool TDesktopNotifier::ServiceRunning() const {
  if (!bus_) return false;
  QDBusConnectionInterface* daemon = QDBusConnection::sessionBus().interface();
  return daemon && daemon->isServiceRegistered(kService).value();
}

void TDesktopNotifier::AskCapabilities() {
  if (!ServiceRunning()) return;
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(Call("GetCapabilities")), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QStringList> reply = *w;
    if (!reply.isError()) actions_ = reply.value().contains("actions");
    w->deleteLater();
  });
}

void TDesktopNotifier::ShowCall(const QString& title, const QString& body, std::function<void()> answer,
                                std::function<void()> reject) {
  answer_ = std::move(answer);
  reject_ = std::move(reject);
  lastTitle_ = title;
  lastBody_ = body;
  lastActions_.clear();
  showing_ = true;
  closeWhenShown_ = false;
  if (ServiceRunning()) {
    lastWay_ = TWay::Service;
    // Asked again each time: a service that started after us is found too.
    if (!actions_) AskCapabilities();
    QStringList actions;
    if (actions_) actions = {kAnswerKey, "Contestar", kRejectKey, "Rechazar"};
    lastActions_ = actions;
    QVariantMap hints;
    hints["urgency"] = QVariant::fromValue<uchar>(2);  // critical: stays until taken away
    hints["category"] = "call.incoming";
    hints["desktop-entry"] = "quorvelle";
    hints["resident"] = true;
    QDBusMessage notify = Call("Notify");
    notify << QString("Quorvelle") << id_ << QString("quorvelle") << title << body << actions << hints
           << int(0);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
      QDBusPendingReply<uint> reply = *w;
      w->deleteLater();
      if (reply.isError()) return;
      id_ = reply.value();
      if (closeWhenShown_) CloseCall();
    });
    return;
  }
  if (tray_ && tray_->isVisible()) {
    lastWay_ = TWay::Tray;
    tray_->showMessage(title, body, QSystemTrayIcon::Information, kTrayMessageMs);
    return;
  }
  lastWay_ = TWay::None;
}

void TDesktopNotifier::CloseCall() {
  if (!showing_) return;
  answer_ = nullptr;
  reject_ = nullptr;
  if (lastWay_ != TWay::Service) {
    showing_ = false;
    return;
  }
  if (id_ == 0) {
    closeWhenShown_ = true;  // the service has not said its id yet
    return;
  }
  showing_ = false;
  QDBusMessage close = Call("CloseNotification");
  close << id_;
  QDBusConnection::sessionBus().asyncCall(close);
  id_ = 0;
}

void TDesktopNotifier::OnActionInvoked(uint id, const QString& action) {
  if (id == 0 || id != id_) return;
  // The handler may show the next call's notification: take it first.
  std::function<void()> run = action == kAnswerKey ? answer_ : action == kRejectKey ? reject_ : nullptr;
  CloseCall();
  if (run) run();
}

void TDesktopNotifier::OnClosed(uint id, uint) {
  if (id == 0 || id != id_) return;
  showing_ = false;
  id_ = 0;
}

}  // namespace qv
