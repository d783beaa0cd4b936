#include "app/mainframe.h"

#include <QAction>
#include <QCheckBox>
#include <QApplication>
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

#include "app/diallinks.h"
#include "app/inifile.h"
#include "app/metrics.h"
#include "app/notifier.h"
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
#include "app/urgency.h"
#include "platform/clock.h"

namespace qv {

namespace {

constexpr int kClientWidth = 332;
constexpr int kClientHeight = 438;

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
  // Six lines, and one more: a seventh call still reaches the window, which
  // answers it busy (stopping a ring still playing, as always); any beyond
  // that the engine refuses without keeping anything.
  client_->SetMaxCalls(7);

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
  FitToContents();
  // Keys typed anywhere in the window reach the dial pad (mainframe_keys.cpp).
  qApp->installEventFilter(this);

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
  setWindowIcon(PictureIcon("quorvelle"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);

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
    b->setIcon(PictureIcon(kPictures[i]));
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
  // The switch reaches the calls already running as well as the next ones.
  connect(audioFrm_->echoCancel, &QCheckBox::toggled, this, [this](bool on) { client_->SetEchoCancellation(on); });
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
  // The tick shows where the window is, not what was last chosen: choosing
  // "Conectar" ticks it only once the registration succeeds.
  connect(connectItem_, &QAction::triggered, this, [this] {
    Guard([this] { GoOnline(); });
    MarkConnected(connectedMark_);
  });
  connect(disconnectItem_, &QAction::triggered, this, [this] {
    Guard([this] { GoOffline(); });
    MarkConnected(connectedMark_);
  });
  MarkConnected(false);
  statusBar_->OnClick = [this](const QPoint& at) { statusMenu_->popup(at); };
  statusBar_->OnDrawPanel = [this](QPainter& painter, const QRect& panel) { DrawStatusPanel(painter, panel); };
  QStringList offline;
  for (auto reason : {TOfflineReason::None, TOfflineReason::NoAccount, TOfflineReason::CannotResolve,
                      TOfflineReason::NoAnswer, TOfflineReason::Refused, TOfflineReason::CannotStart,
                      TOfflineReason::Insecure})
    offline << OfflineText(reason);
  statusBar_->SetTextsToFit(offline);

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
  BuildTray();
}

void TMainForm::BuildTray() {
  // The menu exists with or without a notification area, so that the same
  // items serve every desktop (and the tests).
  trayMenu_ = new QMenu(this);
  trayMenu_->setObjectName("TrayMenu");
  showHideItem_ = trayMenu_->addAction("Ocultar");
  trayMenu_->addSeparator();
  trayMenu_->addAction(connectItem_);
  trayMenu_->addAction(disconnectItem_);
  trayMenu_->addSeparator();
  quitItem_ = trayMenu_->addAction("Salir");
  connect(trayMenu_, &QMenu::aboutToShow, this, [this] {
    showHideItem_->setText(isVisible() && !isMinimized() ? "Ocultar" : "Mostrar");
  });
  connect(showHideItem_, &QAction::triggered, this, [this] {
    if (isVisible() && !isMinimized())
      hide();
    else
      RaiseWindow();
  });
  connect(quitItem_, &QAction::triggered, this, [this] {
    close();
    emit QuitRequested();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(PictureIcon("quorvelle"), this);
    tray_->setToolTip(QString::fromUtf8(kAppTitle));
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
      if (why == QSystemTrayIcon::Trigger) showHideItem_->trigger();
    });
    connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] { RaiseWindow(); });
    tray_->show();
  }
  notifier_ = new TDesktopNotifier(tray_, this);
}

void TMainForm::FitToContents() {
  const int icon = Scaled(this, 24);
  for (QToolButton* b : topButtons_) b->setIconSize(QSize(icon, icon));
  // The design's size, or what the contents need at the present font.
  setMinimumSize(0, 0);
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  QSize need = minimumSizeHint();
  setFixedSize(std::max(kClientWidth, need.width()), std::max(kClientHeight, need.height()));
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
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
    EnsureBalloon();
    // Seen: the call that made the window urgent has been noticed.
    if (urgent_) SetUrgencyHint(this, false);
    urgent_ = false;
  }
  // The children follow the font first; the window's size follows them.
  if (event->type() == QEvent::FontChange) QTimer::singleShot(0, this, [this] { FitToContents(); });
}

TBalloonTip* TMainForm::EnsureBalloon() {
  if (!balloon_) {
    balloon_ = new TBalloonTip(dialFrm_->btnConectar, "Conectar / Desconectar",
                               "Permite conectar al servidor PBX,\no desconectar del servidor PBX.");
  }
  return balloon_;
}

// ---- links and the window's place on the desktop ------------------------------

void TMainForm::OpenLink(const QString& link) {
  QString error;
  QString number = NumberFromLink(link, QString::fromStdString(current_.Server), &error);
  if (number.isEmpty()) {
    TellUser("Enlace no valido", error);
  } else if (number.size() > dialFrm_->PhoneEdit->maxLength()) {
    // The field would cut it, and a cut number calls someone else.
    TellUser("Numero demasiado largo",
             QString("El numero %1 tiene mas de %2 caracteres.").arg(number).arg(dialFrm_->PhoneEdit->maxLength()));
  } else {
    ShowFrame(0);
    dialFrm_->PhoneEdit->setText(number);
    dialFrm_->PhoneEdit->setFocus();
  }
  RaiseWindow();
}

void TMainForm::RaiseWindow() {
  if (isMinimized())
    showNormal();
  else
    show();
  raise();
  activateWindow();
}

void TMainForm::ShowFrame(int index) {
  frames_->setCurrentIndex(index);
  topButtons_[size_t(index)]->setChecked(true);
}

void TMainForm::ShowAbout() {
  TAboutBox box(this);
  box.exec();
}

int TMainForm::RingDevice() const { return ring_ ? ring_->Device() : -2; }

}  // namespace qv
