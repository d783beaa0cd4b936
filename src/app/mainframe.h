// TMainForm: the softphone's main window. It owns the SIP client component
// and everything else of the application: the three frames sharing the
// client area (dial pad, accounts, audio settings), the status bar, the
// action list, the line refresh timer, the mixer volume control and the ring
// thread.
//
// The window is split by concern:
//   mainframe.cpp          layout, start-up and shutdown, component events,
//                          the tray icon's menu, links handed to the window
//   mainframe_online.cpp   going on and off line, the status bar and menu,
//                          and telling the user why going online failed
//   mainframe_calls.cpp    the six lines, the line display, call actions and
//                          the dial pad
//   mainframe_keys.cpp     the keyboard on the dial pad
//   mainframe_accounts.cpp the settings file and the four account actions
//
// Threads: GUI thread only. The component's events are raised from
// ProcessMessages, which the window runs on its own thread whenever the
// component signals that something is waiting, and from a timer so that the
// engine's Tick runs. Every exception raised under an event handler is shown
// in the error box; the program goes on.
#pragma once

#include <QMainWindow>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/sipclient.h"

class QAction;
class QKeyEvent;
class QPainter;
class QActionGroup;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace qv {

class TAccountsFrm;
class TActionList;
class TAudioFrm;
class TBalloonTip;
class TDesktopNotifier;
class TDialFrm;
class TRingThread;
class TStatusBar;
class TVolumeCtrl;
struct TAction;

class TMainForm : public QMainWindow {
  Q_OBJECT
public:
  struct TOptions {
    std::string SettingsPath;  // empty: SettingsFilePath()
    // Replaces the save dialog of a recording: returns the chosen file name,
    // or an empty text for "cancelled". For tests.
    std::function<QString(const QString& title, const QString& fileName)> SaveFileDialog;
  };

  explicit TMainForm(TOptions options = {}, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Window operations.
  void GoOnline();
  void GoOffline();
  void RefreshLines();
  void ShowMemo();
  QString MemoText() const;  // what ShowMemo shows, lines joined by CR LF
  // The memo line that says whether a connected call is encrypted; empty for
  // an account without TLS or SRTP settings.
  static QString SecurityText(ISipCall& call);
  void UpdateActions();  // what the action list does whenever the application is idle

  // The parts, as the form's published fields were.
  TSipClient& SipClient() { return *client_; }
  TDialFrm* DialFrm() const { return dialFrm_; }
  TAccountsFrm* AccountsFrm() const { return accountsFrm_; }
  TAudioFrm* AudioFrm() const { return audioFrm_; }
  TVolumeCtrl* VolumeCtrl() const { return volume_; }
  TStatusBar* StatusLine() const { return statusBar_; }
  QMenu* StatusMenu() const { return statusMenu_; }
  QAction* ConnectItem() const { return connectItem_; }
  QAction* DisconnectItem() const { return disconnectItem_; }
  std::array<QToolButton*, 4> TopButtons() const { return topButtons_; }
  TBalloonTip* BalloonTip() const { return balloon_; }
  TAction* Action(const QString& name);  // "CallAction", "HoldAction", ...
  const std::string& SettingsPath() const { return settingsPath_; }

  // State, for the status bar and for tests.
  bool Online() const { return online_; }
  int CurrentLine() const { return currentLine_; }
  ISipCallPtr LineCall(int line) const { return lineCalls_[size_t(line - 1)]; }
  std::string LineDigits(int line) const { return lineDigits_[size_t(line - 1)]; }
  bool LineLamp(int line) const { return lineLamps_[size_t(line - 1)] != 0; }
  ISipAccountPtr RegisteredAccount() const { return registeredAccount_; }
  ISipConferencePtr Conference() const { return conference_; }
  ISipRecorderPtr Recorder() const { return recorder_; }
  bool Ringing() const { return ring_ != nullptr; }
  int RingDevice() const;  // the device of the ring tone now playing; -2 when none
  QString StatusText() const;  // what panel 0 of the status bar reads
  struct TAccountText {
    std::string Server, User, Password, STUN, Proxy;
    // Secure calls, stored only once set (older files have none of them):
    // Transport "udp" (or empty), "tcp", "tls"; SRTP "off" (or empty),
    // "optional", "mandatory"; CAFile a PEM file; SRTPKeysWithoutTLS "1"
    // to send SRTP keys over udp or tcp too.
    std::string Transport, SRTP, CAFile, SRTPKeysWithoutTLS;
    // Realms besides the server's own and the domain that get the password
    // (key "Realms", written only when set: older files stay as they were).
    std::string Realms;
    // Opus and G.722 offered before the narrowband codecs: on for accounts
    // made now, off for those of a settings file written before it existed
    // (key "Wideband", 1 or 0).
    bool Wideband = true;
  };
  const TAccountText& CurrentAccount() const { return current_; }

  // Why the window is off line when it did not choose to be.
  enum class TOfflineReason {
    None,           // it was asked to go off line, or has not tried
    NoAccount,      // no server to register with
    CannotResolve,  // the server's (or proxy's) name has no address
    NoAnswer,       // the registrar did not answer in time
    Refused,        // the registrar refused the account
    CannotStart,    // the registration could not be sent
    Insecure,       // the TLS connection to the server could not be trusted
  };
  TOfflineReason OfflineReason() const { return offlineReason_; }
  // What the status bar reads off line for that reason: "Fuera de linea",
  // with the reason after a colon.
  static QString OfflineText(TOfflineReason reason);
  // The last message the window put up in the balloon or the tray (title,
  // a line break, text); for tests.
  const QString& LastMessage() const { return lastMessage_; }

  // Selects the frame of top button i (0 dial pad, 1 accounts, 2 audio).
  void ShowFrame(int index);
  void SelectLine(int line);  // a line button click
  void KeypadPress(int tag);  // a keypad button click

  // A sip:, sips: or tel: link (from the command line or handed over by a
  // second start): its number goes into the dial field and the window comes
  // to the front. A link that holds no number says so in the status bar.
  void OpenLink(const QString& link);
  // Shows the window (also from the tray or a minimised state) and brings it
  // to the front.
  void RaiseWindow();

  QMenu* TrayMenu() const { return trayMenu_; }
  QAction* ShowHideItem() const { return showHideItem_; }
  QAction* QuitItem() const { return quitItem_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }
  bool Urgent() const { return urgent_; }  // marked urgent for a call not yet seen
  TDesktopNotifier* Notifier() const { return notifier_; }
  // Sets the window's size from its contents: the design's 332 x 438 or
  // what the present font needs, whichever is more.
  void FitToContents();

signals:
  // "Salir" in the tray menu: the window has closed and the program should end.
  void QuitRequested();

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // mainframe.cpp
  void BuildWindow();
  void BuildTray();
  void BuildActions();
  void BindComponent();
  void StartUp();
  void ShutDown();
  void Guard(const std::function<void()>& handler);
  void PumpEvents();
  void SchedulePump();
  void ShowAbout();
  TBalloonTip* EnsureBalloon();

  // mainframe_online.cpp
  void RegistrationOk(const ISipAccountPtr& account);
  void RegistrationBye(const ISipAccountPtr& account);
  void UnregisterOnPurpose(const ISipAccountPtr& account);
  void MarkConnected(bool connected);
  void RepaintStatus();
  void DrawStatusPanel(QPainter& painter, const QRect& panel);
  void RetireAccount(const ISipAccountPtr& account);
  void DropRetiredAccounts();
  TOfflineReason EndReasonOf(const ISipAccountPtr& account) const;
  void ReportOffline(TOfflineReason reason, const QString& detail = {});
  void TellUser(const QString& title, const QString& text);

  // mainframe_calls.cpp
  void BuildCallActions();
  void IncomingCall(const ISipCallPtr& call);
  void CallAnswered(const ISipCallPtr& call);
  void CallEnded(const ISipCallPtr& call);
  void DtmfReceived(const ISipCallPtr& call, const std::string& digit);
  void StartRing();
  void StopRing();
  void AnnounceCall(int line, const ISipCallPtr& call);
  void UpdateAudioNote();
  void RedrawLine(int line);
  ISipCallPtr CurrentCall() const { return lineCalls_[size_t(currentLine_ - 1)]; }
  int CurrentState() const;  // state of the current line's call; -1 when free
  void CallExecute();
  void HangUpExecute();
  void HoldExecute();
  void TransferExecute();
  void ConferenceExecute();
  void RecordExecute();
  QString AskSaveFile(const QString& title, const QString& fileName);

  // mainframe_keys.cpp
  bool HandleKey(QKeyEvent& key, QWidget* focus);

  // mainframe_accounts.cpp
  void BuildAccountActions();
  void LoadSettings();
  void SaveSettings();
  void RegisterExecute();
  void AddExecute();
  void EditExecute();
  void RemoveExecute();

  TOptions options_;
  std::string settingsPath_;
  std::unique_ptr<TSipClient> client_;

  // The component's "something is waiting" hook runs on worker threads; it
  // reaches the window only through this, which the destructor detaches.
  struct TPumpLink {
    std::mutex Lock;
    TMainForm* Form = nullptr;
    std::atomic<bool> Pending{false};
  };
  std::shared_ptr<TPumpLink> pumpLink_;
  bool pumping_ = false;
  bool repump_ = false;

  TDialFrm* dialFrm_ = nullptr;
  TAccountsFrm* accountsFrm_ = nullptr;
  TAudioFrm* audioFrm_ = nullptr;
  QStackedWidget* frames_ = nullptr;
  std::array<QToolButton*, 4> topButtons_{};
  TStatusBar* statusBar_ = nullptr;
  QMenu* statusMenu_ = nullptr;
  QAction* connectItem_ = nullptr;
  QAction* disconnectItem_ = nullptr;
  TActionList* actions_ = nullptr;
  QTimer* lineTimer_ = nullptr;   // Timer1: 800 ms line refresh
  QTimer* pumpTimer_ = nullptr;   // runs the component's Tick
  TVolumeCtrl* volume_ = nullptr;
  TBalloonTip* balloon_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QAction* showHideItem_ = nullptr;
  QAction* quitItem_ = nullptr;
  TDesktopNotifier* notifier_ = nullptr;

  bool started_ = false;
  bool online_ = false;
  bool connectedMark_ = false;  // which status menu item is ticked
  // The registered account is being unregistered because the user asked:
  // its end is no failure.
  bool leaving_ = false;
  bool urgent_ = false;  // the window carries the urgency hint of a call
  TOfflineReason offlineReason_ = TOfflineReason::None;
  QString offlineDetail_;  // the server the reason is about
  QString lastMessage_;
  std::unique_ptr<TRingThread> ring_;
  int currentLine_ = 1;
  std::array<ISipCallPtr, 6> lineCalls_;
  std::array<std::string, 6> lineDigits_;
  std::array<int, 6> lineLamps_{};
  ISipConferencePtr conference_;
  ISipRecorderPtr recorder_;
  ISipAccountPtr registeredAccount_;
  // Accounts the window has replaced, still un-registering; they leave the
  // engine's list when that ends.
  std::vector<ISipAccountPtr> retired_;
  TAccountText current_;
};

}  // namespace qv
