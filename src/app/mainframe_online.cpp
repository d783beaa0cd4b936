// Going on and off line, the status bar and its menu, and telling the user
// why the window is off line when it did not choose to be.
#include <QAction>
#include <QPainter>
#include <QSystemTrayIcon>

#include "app/balloontip.h"
#include "app/dialframe.h"
#include "app/mainframe.h"
#include "app/pictures.h"
#include "app/regform.h"
#include "app/statusbar.h"
#include "platform/clock.h"
#include "sip/iputils.h"

namespace qv {

namespace {

// Retired accounts whose un-registration never ends (a lost answer to a
// challenged un-REGISTER has no time-out of its own) leave after this.
constexpr double kRetireTimeoutSeconds = 20;
// How long a message stays up in the balloon below the connect button.
constexpr int kMessageMs = 10000;

QString Text(const std::string& s) { return QString::fromStdString(s); }

// The host the registration goes to first: the proxy when there is one
// (taken whole, as the engine takes it), else the server without its port.
std::string RegistrarHost(const std::string& server, const std::string& proxy) {
  if (!proxy.empty()) return proxy;
  return server.substr(0, PortColon(server));
}

}  // namespace

void TMainForm::GoOnline() {
  if (!client_->GetActive()) client_->SetActive(true);
  // Nothing to register with: say so instead of sending REGISTER nowhere and
  // waiting for its time-out.
  if (current_.Server.empty()) {
    ReportOffline(TOfflineReason::NoAccount);
    return;
  }
  // The engine would send to a name it cannot resolve as if it were an
  // address, and the user would see nothing for the whole time-out.
  std::string host = RegistrarHost(current_.Server, current_.Proxy);
  if (ResolveSipHostOrEmpty(host).empty()) {
    ReportOffline(TOfflineReason::CannotResolve, Text(host));
    return;
  }
  client_->SetTransport(TransportOf(current_.Transport));
  client_->SetSrtpMode(SrtpModeOf(current_.SRTP));
  client_->SetCaFile(current_.CAFile);
  client_->SetSrtpKeysWithoutTls(current_.SRTPKeysWithoutTLS == "1");
  // The engine's codec list is the registered account's.
  client_->SetWideband(current_.Wideband);
  ISipAccountPtr account;
  try {
    account = client_->AddAccount(current_.Server, current_.User, current_.Password, current_.Proxy,
                                  current_.STUN);
  } catch (const std::exception& e) {
    ReportOffline(TOfflineReason::CannotStart, Text(e.what()));
    return;
  }
  account->SetRealms(current_.Realms);
  ISipAccountPtr replaced = std::move(registeredAccount_);
  registeredAccount_ = account;
  leaving_ = false;
  if (replaced) RetireAccount(replaced);
  offlineReason_ = TOfflineReason::None;
  RepaintStatus();
  try {
    client_->Register(account);
  } catch (const std::exception& e) {
    // A registration that cannot even start leaves nothing to wait for: the
    // account goes, so that "Seleccionar" and "Conectar" can try again.
    registeredAccount_.reset();
    RetireAccount(account);
    ReportOffline(TOfflineReason::CannotStart, Text(e.what()));
  }
}

void TMainForm::GoOffline() {
  if (!client_->GetActive() || !registeredAccount_) return;
  UnregisterOnPurpose(registeredAccount_);
  RepaintStatus();
  MarkConnected(false);
}

void TMainForm::UnregisterOnPurpose(const ISipAccountPtr& account) {
  if (account == registeredAccount_) leaving_ = true;
  client_->Unregister(account);
}

void TMainForm::RegistrationOk(const ISipAccountPtr&) {
  online_ = true;
  offlineReason_ = TOfflineReason::None;
  RepaintStatus();
  MarkConnected(true);
}

void TMainForm::RegistrationBye(const ISipAccountPtr& account) {
  if (account == registeredAccount_) {
    bool wanted = leaving_;
    registeredAccount_.reset();
    online_ = false;
    leaving_ = false;
    if (!wanted) {
      TOfflineReason reason = EndReasonOf(account);
      // A refused certificate is told with the TLS library's own reason.
      ReportOffline(reason, reason == TOfflineReason::Insecure
                                ? Text(account->GetDomain()) + "\n" + Text(account->GetEndReason().Detail)
                                : Text(account->GetDomain()));
    }
    RetireAccount(account);
  } else {
    DropRetiredAccounts();
  }
  RepaintStatus();
  MarkConnected(false);
}

// ---- why the window is off line ----------------------------------------------

TMainForm::TOfflineReason TMainForm::EndReasonOf(const ISipAccountPtr& account) const {
  if (account->GetEndReason().Kind == qv::TRegistrationEnd::Insecure) return TOfflineReason::Insecure;
  switch (TSipClient::RegistrationEnd(account)) {
    case TSipClient::TRegistrationEnd::NoAnswer:
      return TOfflineReason::NoAnswer;
    case TSipClient::TRegistrationEnd::Refused:
      break;
  }
  return TOfflineReason::Refused;
}

void TMainForm::ReportOffline(TOfflineReason reason, const QString& detail) {
  offlineReason_ = reason;
  offlineDetail_ = detail;
  RepaintStatus();
  MarkConnected(online_);
  switch (reason) {
    case TOfflineReason::None:
      return;
    case TOfflineReason::NoAccount:
      TellUser("Sin cuenta SIP", "Agregue una cuenta en Cuentas SIP\ny seleccionela para conectarse.");
      return;
    case TOfflineReason::CannotResolve:
      TellUser("Servidor desconocido",
               QString("No se encuentra el servidor %1.\nRevise el nombre en Cuentas SIP.").arg(detail));
      return;
    case TOfflineReason::NoAnswer:
      TellUser("Sin respuesta",
               QString("El servidor %1 no responde.\nRevise el servidor y la conexion a la red.").arg(detail));
      return;
    case TOfflineReason::Refused:
      TellUser("Cuenta rechazada",
               QString("El servidor %1 rechazo la cuenta.\nRevise el usuario y el password.").arg(detail));
      return;
    case TOfflineReason::CannotStart:
      TellUser("No se pudo conectar", QString("No se pudo conectar al servidor:\n%1").arg(detail));
      return;
    case TOfflineReason::Insecure:
      TellUser("Conexion no segura",
               QString("No se confia en el servidor %1\nRevise el certificado o el archivo de CA en Cuentas SIP.")
                   .arg(detail));
      return;
  }
}

void TMainForm::TellUser(const QString& title, const QString& text) {
  // The balloon hangs below the connect button; with the window out of
  // sight the tray icon says it instead.
  if (isVisible() && !isMinimized()) {
    // Below the connect button on the dial pad; over the status bar when
    // another frame is up.
    QWidget* anchor = dialFrm_->isVisible() ? nullptr : statusBar_->Panel(0);
    EnsureBalloon()->ShowMessage(title, text, kMessageMs, anchor);
  } else if (tray_ && tray_->isVisible()) {
    tray_->showMessage(title, text, QSystemTrayIcon::Warning, kMessageMs);
  }
  lastMessage_ = title + "\n" + text;
}

// ---- the status bar and its menu ------------------------------------------------

void TMainForm::MarkConnected(bool connected) {
  connectedMark_ = connected;
  connectItem_->setChecked(connected);
  disconnectItem_->setChecked(!connected);
}

void TMainForm::RepaintStatus() { statusBar_->RepaintPanel(); }

QString TMainForm::OfflineText(TOfflineReason reason) {
  switch (reason) {
    case TOfflineReason::None:
      break;
    case TOfflineReason::NoAccount:
      return QStringLiteral("Fuera de linea: sin cuenta");
    case TOfflineReason::CannotResolve:
      return QStringLiteral("Fuera de linea: servidor desconocido");
    case TOfflineReason::NoAnswer:
      return QStringLiteral("Fuera de linea: sin respuesta");
    case TOfflineReason::Refused:
      return QStringLiteral("Fuera de linea: cuenta rechazada");
    case TOfflineReason::CannotStart:
      return QStringLiteral("Fuera de linea: error al conectar");
    case TOfflineReason::Insecure:
      return QStringLiteral("Fuera de linea: conexion no segura");
  }
  return QStringLiteral("Fuera de linea");
}

QString TMainForm::StatusText() const {
  if (!online_) return OfflineText(offlineReason_);
  if (!registeredAccount_) return {};
  return Text("sip: " + registeredAccount_->GetUserName() + "@" + registeredAccount_->GetDomain());
}

void TMainForm::DrawStatusPanel(QPainter& painter, const QRect& panel) {
  int icon = statusBar_->IconSize();
  QRect picture(panel.left(), panel.top() + (panel.height() - icon) / 2, icon, icon);
  StatusIcon(online_ ? siOnline : siOffline).paint(&painter, picture);
  painter.setPen(statusBar_->palette().color(QPalette::WindowText));
  QRect text = panel.adjusted(statusBar_->TextLeft(), 0, 0, 0);
  painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, StatusText());
}

// ---- accounts the window no longer uses ------------------------------------------

// The engine hands every incoming request to the first account of its list.
// An account the window no longer uses must leave that list, or incoming
// calls, INFO and OPTIONS would be answered through the old server. One that
// is still un-registering stays until that ends, so its answers find it.
void TMainForm::RetireAccount(const ISipAccountPtr& account) {
  retired_.push_back(account);
  DropRetiredAccounts();
}

void TMainForm::DropRetiredAccounts() {
  double now = Now();
  for (auto it = retired_.begin(); it != retired_.end();) {
    const ISipAccountPtr& account = *it;
    int state = account->GetState();
    bool unregistering = state == asUnregisterSent || state == asUnregisterAuthSent;
    bool stuck = (now - account->GetStateTime()) / kOneSecond > kRetireTimeoutSeconds;
    if (unregistering && !stuck) {
      ++it;
      continue;
    }
    if (client_->GetActive() && client_->Engine()) client_->RemoveAccount(account);
    it = retired_.erase(it);
  }
}

}  // namespace qv
