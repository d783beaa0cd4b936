#include "app/mainframe.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/inifile.h"
#include "app/volumectrl.h"
#include "app/aboutbox.h"
#include "app/accountsframe.h"
#include "app/actions.h"
#include "app/audioframe.h"
#include "app/balloontip.h"
#include "app/dialframe.h"
#include "app/errorbox.h"
#include "app/pictures.h"
#include "app/ringtone.h"
#include "app/statusbar.h"
#include "platform/clock.h"

namespace qv {

namespace {

constexpr int kClientWidth = 332;
constexpr int kClientHeight = 438;
// Retired accounts whose un-registration never ends (a lost answer to a
// challenged un-REGISTER has no time-out of its own) leave after this.
constexpr double kRetireTimeoutSeconds = 20;

}  // namespace

TMainForm::TMainForm(TOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
  settingsPath_ = options_.SettingsPath.empty() ? SettingsFilePath() : options_.SettingsPath;

  // The component with the values stored with the form.
  client_ = std::make_unique<TSipClient>();
  client_->SetLocalPort(5075);
  client_->SetRtpPortMin(20000);
  client_->SetRtpPortMax(24000);
  client_->SetDtmfMethod(dtmfRFC2833);
  client_->SetSilenceThreshold(kDefaultSilenceThreshold);
  client_->SetSilenceTimeout(5000);

  pumpLink_ = std::make_shared<TPumpLink>();
  pumpLink_->Form = this;
  client_->SetNotify([link = pumpLink_] {
    // Worker thread: only schedule the drain on the GUI thread.
    std::lock_guard<std::mutex> guard(link->Lock);
    if (!link->Form || link->Pending.exchange(true)) return;
    TMainForm* form = link->Form;
    QMetaObject::invokeMethod(form, [form] { form->PumpEvents(); }, Qt::QueuedConnection);
  });

  BuildWindow();

  // Creation handler: the slider shows the system's master volume.
  volume_ = new TVolumeCtrl(this);
  QSlider* speaker = dialFrm_->tbVolParlantes;
  if (volume_->Available()) {
    speaker->setValue(volume_->Volume());
  } else {
    speaker->setEnabled(false);  // no mixer on this machine
  }
  connect(speaker, &QSlider::valueChanged, this, [this](int position) {
    Guard([&] { volume_->SetVolume(position); });
  });
  volume_->OnVolumeChange = [this](int, int) {
    QSignalBlocker block(dialFrm_->tbVolParlantes);
    dialFrm_->tbVolParlantes->setValue(volume_->Volume());
  };
  volume_->OnMuteChange = [](bool) {};

  BuildActions();
  BindComponent();

  lineTimer_ = new QTimer(this);
  lineTimer_->setInterval(800);
  connect(lineTimer_, &QTimer::timeout, this, [this] {
    Guard([this] {
      RefreshLines();
      DropRetiredAccounts();
    });
  });
  lineTimer_->start();
  pumpTimer_ = new QTimer(this);
  pumpTimer_->setInterval(250);
  connect(pumpTimer_, &QTimer::timeout, this, [this] { PumpEvents(); });
  pumpTimer_->start();
}

TMainForm::~TMainForm() {
  actions_->SetIdleUpdates(false);
  {
    std::lock_guard<std::mutex> guard(pumpLink_->Lock);
    pumpLink_->Form = nullptr;
  }
  ring_.reset();
  // Switching the engine off says goodbye to peers and registrar; the events
  // that causes are dropped with the component.
  client_.reset();
}

void TMainForm::BuildWindow() {
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowIcon(PictureIcon("quorvelle", 32));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);

  auto* central = new QWidget;
  auto* root = new QVBoxLayout(central);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  auto* topBar = new QWidget;
  topBar->setObjectName("TopBar");
  auto* top = new QHBoxLayout(topBar);
  top->setContentsMargins(4, 2, 4, 2);
  top->setSpacing(2);
  static const char* const kHints[4] = {"Telefono", "Cuentas SIP", "Configuracion de Audio",
                                        "Acerca de..."};
  static const char* const kPictures[4] = {"phone", "accounts", "audio", "about"};
  for (int i = 0; i < 4; ++i) {
    auto* b = new QToolButton;
    b->setObjectName(QStringLiteral("TopButton%1").arg(i));
    b->setAutoRaise(true);
    b->setIcon(PictureIcon(kPictures[i], 24));
    b->setIconSize(QSize(24, 24));
    b->setToolTip(kHints[i]);
    b->setFocusPolicy(Qt::NoFocus);
    if (i < 3) {
      b->setCheckable(true);
      b->setAutoExclusive(true);
      connect(b, &QToolButton::clicked, this, [this, i] { ShowFrame(i); });
    } else {
      connect(b, &QToolButton::clicked, this, [this] { ShowAbout(); });
    }
    topButtons_[size_t(i)] = b;
    top->addWidget(b);
    if (i == 2) top->addStretch(1);
  }
  topButtons_[0]->setChecked(true);
  root->addWidget(topBar);

  frames_ = new QStackedWidget;
  dialFrm_ = new TDialFrm;
  accountsFrm_ = new TAccountsFrm;
  audioFrm_ = new TAudioFrm;
  frames_->addWidget(dialFrm_);
  frames_->addWidget(accountsFrm_);
  frames_->addWidget(audioFrm_);
  frames_->setCurrentIndex(0);
  root->addWidget(frames_, 1);
  setCentralWidget(central);

  statusBar_ = new TStatusBar;
  setStatusBar(statusBar_);
  statusMenu_ = new QMenu(this);
  auto* group = new QActionGroup(statusMenu_);
  group->setExclusive(true);
  connectItem_ = statusMenu_->addAction("Conectar");
  disconnectItem_ = statusMenu_->addAction("Desconectar");
  for (QAction* item : {connectItem_, disconnectItem_}) {
    item->setCheckable(true);
    group->addAction(item);
  }
  disconnectItem_->setChecked(true);
  connect(connectItem_, &QAction::triggered, this, [this] { Guard([this] { GoOnline(); }); });
  connect(disconnectItem_, &QAction::triggered, this, [this] { Guard([this] { GoOffline(); }); });
  statusBar_->OnClick = [this](const QPoint& at) { statusMenu_->popup(at); };
  statusBar_->OnDrawPanel = [this](QPainter& painter, const QRect& panel) {
    QPixmap icon = StatusImage(online_ ? siOnline : siOffline, 16);
    painter.drawPixmap(panel.topLeft(), icon);
    painter.setPen(Qt::black);
    // Panel coordinates: the text starts at x = 20, y = 3.
    QRect text(20, 3, panel.right() - 20, panel.bottom() - 3);
    painter.drawText(text, Qt::AlignLeft | Qt::AlignTop, StatusText());
  };

  for (QToolButton* b : dialFrm_->SBtn) {
    int tag = b->property("tag").toInt();
    connect(b, &QToolButton::clicked, this, [this, tag] { Guard([&] { SelectLine(tag); }); });
  }
  for (QPushButton* key : dialFrm_->Keys) {
    int tag = key->property("tag").toInt();
    connect(key, &QPushButton::clicked, this, [this, tag] { Guard([&] { KeypadPress(tag); }); });
  }
  connect(dialFrm_->btnConectar, &QPushButton::clicked, this, [this] {
    Guard([this] {
      if (dialFrm_->CallBtn->isEnabled())
        GoOffline();
      else
        GoOnline();
    });
  });

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(PictureIcon("quorvelle", 22), this);
    tray_->setToolTip(QString::fromUtf8(kAppTitle));
    tray_->show();
  }
}

void TMainForm::BuildActions() {
  actions_ = new TActionList(this, [this](const std::function<void()>& handler) { Guard(handler); });
  BuildCallActions();
  BuildAccountActions();
  actions_->UpdateAll();
}

TAction* TMainForm::Action(const QString& name) { return actions_->Find(name); }

void TMainForm::UpdateActions() { actions_->UpdateAll(); }

void TMainForm::BindComponent() {
  TSipClient& c = *client_;
  c.OnRegistrationOk = [this](TSipClient&, const ISipAccountPtr& a) { RegistrationOk(a); };
  c.OnRegistrationBye = [this](TSipClient&, const ISipAccountPtr& a) { RegistrationBye(a); };
  c.OnInvite = [this](TSipClient&, const ISipCallPtr& call) { IncomingCall(call); };
  c.OnInviteOk = [this](TSipClient&, const ISipCallPtr& call) { CallAnswered(call); };
  c.OnBye = [this](TSipClient&, const ISipCallPtr& call) { CallEnded(call); };
  c.OnDtmf = [this](TSipClient&, const ISipCallPtr& call, const std::string& digit) {
    DtmfReceived(call, digit);
  };
}

void TMainForm::Guard(const std::function<void()>& handler) { RunGuarded(this, handler); }

void TMainForm::SchedulePump() {
  QMetaObject::invokeMethod(this, [this] { PumpEvents(); }, Qt::QueuedConnection);
}

void TMainForm::PumpEvents() {
  pumpLink_->Pending = false;
  if (pumping_) {
    // A modal box opened by a handler runs the loop again; drain afterwards.
    repump_ = true;
    return;
  }
  pumping_ = true;
  QString error;
  bool failed = false;
  try {
    client_->ProcessMessages(0);
  } catch (const std::exception& e) {
    failed = true;
    error = QString::fromStdString(e.what());
  } catch (...) {
    failed = true;
    error = QStringLiteral("Unknown error");
  }
  pumping_ = false;
  if (failed) {
    ShowErrorBox(this, error);
    repump_ = true;  // the messages behind the failed one are still queued
  }
  if (repump_) {
    repump_ = false;
    SchedulePump();
  }
}

// ---- start-up and shutdown --------------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (started_) return;
  started_ = true;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
  }
  Guard([this] { StartUp(); });
}

void TMainForm::StartUp() {
  currentLine_ = 1;
  RefreshLines();
  ring_.reset();
  {
    TIniFile ini(settingsPath_);
    QLineEdit* phone = dialFrm_->PhoneEdit;
    phone->setText(QString::fromStdString(ini.ReadString("CALL", "Telefono", phone->text().toStdString())));
    client_->SetLocalPort(ini.ReadInteger("SIP", "PuertoLocal", client_->GetLocalPort()));
  }
  audioFrm_->FillLists();
  LoadSettings();
  // A port in use raises here: the error box shows it and nothing below runs.
  client_->SetActive(true);
  if (!current_.Server.empty() && !current_.User.empty()) GoOnline();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  Guard([this] { ShutDown(); });
  event->accept();  // the close is always granted
}

void TMainForm::ShutDown() {
  StopRing();
  TIniFile ini(settingsPath_);
  ini.WriteString("CALL", "Telefono", dialFrm_->PhoneEdit->text().toStdString());
  SaveSettings();
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && !balloon_) {
    balloon_ = new TBalloonTip(dialFrm_->btnConectar, "Conectar / Desconectar",
                               "Permite conectar al servidor PBX,\no desconectar del servidor PBX.");
  }
}

void TMainForm::ShowFrame(int index) {
  frames_->setCurrentIndex(index);
  topButtons_[size_t(index)]->setChecked(true);
}

void TMainForm::ShowAbout() {
  TAboutBox box(this);
  box.exec();
}

// ---- going on and off line -------------------------------------------------

void TMainForm::GoOnline() {
  if (!client_->GetActive()) client_->SetActive(true);
  ISipAccountPtr account = client_->AddAccount(current_.Server, current_.User, current_.Password,
                                               current_.Proxy, current_.STUN);
  ISipAccountPtr replaced = std::move(registeredAccount_);
  registeredAccount_ = account;
  if (replaced) RetireAccount(replaced);
  try {
    client_->Register(account);
  } catch (...) {
    // A registration that cannot even start shows as staying offline.
  }
}

void TMainForm::GoOffline() {
  if (!client_->GetActive() || !registeredAccount_) return;
  client_->Unregister(registeredAccount_);
  RepaintStatus();
  MarkConnected(false);
}

void TMainForm::RegistrationOk(const ISipAccountPtr&) {
  online_ = true;
  RepaintStatus();
  MarkConnected(true);
}

void TMainForm::RegistrationBye(const ISipAccountPtr& account) {
  if (account == registeredAccount_) {
    registeredAccount_.reset();
    online_ = false;
    RetireAccount(account);
  } else {
    DropRetiredAccounts();
  }
  RepaintStatus();
  MarkConnected(false);
}

void TMainForm::MarkConnected(bool connected) {
  (connected ? connectItem_ : disconnectItem_)->setChecked(true);
}

void TMainForm::RepaintStatus() { statusBar_->RepaintPanel(); }

QString TMainForm::StatusText() const {
  if (!online_) return QStringLiteral("Fuera de linea");
  if (!registeredAccount_) return {};
  return QString::fromStdString("sip: " + registeredAccount_->GetUserName() + "@" +
                                registeredAccount_->GetDomain());
}

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

int TMainForm::RingDevice() const { return ring_ ? ring_->Device() : -2; }

}  // namespace qv
