// The six lines, the line display, the call actions and the dial pad.
#include <QApplication>
#include <QFileDialog>
#include <algorithm>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include "app/actions.h"
#include "app/audioframe.h"
#include "app/dialframe.h"
#include "app/mainframe.h"
#include "app/pictures.h"
#include "app/notifier.h"
#include "app/statusbar.h"
#include "app/urgency.h"
#include "app/ringtone.h"
#include "media/resources.h"

namespace qv {

namespace {

bool StateIn(int state, std::initializer_list<int> states) {
  for (int s : states)
    if (s == state) return true;
  return false;
}

}  // namespace

int TMainForm::CurrentState() const {
  ISipCallPtr call = CurrentCall();
  return call ? call->GetState() : -1;
}

void TMainForm::BuildCallActions() {
  TDialFrm& d = *dialFrm_;

  TAction& call = actions_->Add(
      "CallAction",
      [this](TAction& a) {
        ISipCallPtr c = CurrentCall();
        a.Enabled = online_ && (!c || (c->GetIncoming() && c->GetState() == csRinging));
        dialFrm_->btnConectar->setText(a.Enabled ? "Desconectarse" : "Conectarse");
      },
      [this] { CallExecute(); });
  actions_->Bind(call, d.CallBtn);

  TAction& hangUp = actions_->Add(
      "HangUpAction",
      [this](TAction& a) {
        a.Enabled = StateIn(CurrentState(), {csInviteSent, csInviteAuthSent, csRinging, csConnected, csHoldSent});
      },
      [this] { HangUpExecute(); });
  actions_->Bind(hangUp, d.HangUpBtn);

  TAction& hold = actions_->Add(
      "HoldAction",
      [this](TAction& a) {
        int state = CurrentState();
        a.Enabled = state == csConnected || state == csHoldSent;
        if (state == csConnected) a.Caption = "Espera";
        if (state == csHoldSent) a.Caption = "Atender";
      },
      [this] { HoldExecute(); });
  hold.Caption = "Espera";
  actions_->Bind(hold, d.HoldBtn, true);

  TAction& transfer = actions_->Add(
      "TransferAction",
      [this](TAction& a) {
        a.Enabled = CurrentState() == csConnected;
        QLineEdit* edit = dialFrm_->TransferEdit;
        if (edit->isEnabled() != a.Enabled || !edit->property("painted").isValid()) {
          edit->setEnabled(a.Enabled);
          PaintEditable(edit, a.Enabled);
          edit->setProperty("painted", true);
        }
      },
      [this] { TransferExecute(); });
  actions_->Bind(transfer, d.TransferBtn);

  TAction& conference = actions_->Add(
      "ConferenceAction",
      [this](TAction& a) {
        int connected = 0;
        for (const ISipCallPtr& c : lineCalls_)
          if (c && c->GetState() == csConnected) ++connected;
        a.Enabled = conference_ != nullptr || connected >= 2;
        a.Caption = conference_ ? "Detener confe." : "Conferencia";
      },
      [this] { ConferenceExecute(); });
  conference.Caption = "Conferencia";
  actions_->Bind(conference, d.ConferenceBtn, true);

  TAction& record = actions_->Add(
      "RecordAction",
      [this](TAction& a) {
        a.Enabled = recorder_ != nullptr ||
                    StateIn(CurrentState(), {csInviteSent, csRinging, csConnected, csHoldSent});
        a.Caption = recorder_ ? "Guardar archivo de audio" : "Grabar";
        dialFrm_->SetRecording(recorder_ != nullptr);
      },
      [this] { RecordExecute(); });
  record.Caption = "Grabar";
  actions_->Bind(record, d.RecordBtn, true);
}

// ---- lines --------------------------------------------------------------------

void TMainForm::SelectLine(int line) {
  currentLine_ = line;
  dialFrm_->SBtn[size_t(line - 1)]->setChecked(true);
  RefreshLines();
}

void TMainForm::RefreshLines() {
  for (int i = 1; i <= 6; ++i) {
    const ISipCallPtr& call = lineCalls_[size_t(i - 1)];
    int& lamp = lineLamps_[size_t(i - 1)];
    bool current = i == currentLine_;
    // Only the current line's call is heard and hears the microphone; the
    // others stay up and exchange silence.
    if (call) {
      if (call->GetSpeakerEnabled() != current) call->SetSpeakerEnabled(current);
      if (call->GetMicrophoneEnabled() != current) call->SetMicrophoneEnabled(current);
    }
    int state = call ? call->GetState() : csIdle;
    if (current && call && state == csConnected) {
      if (lamp == 0) {
        lamp = 1;
        RedrawLine(i);
      }
    } else if (call && state != csIdle) {
      lamp ^= 1;  // blinks, one toggle per refresh
      RedrawLine(i);
    } else if (lamp == 1) {
      lamp = 0;
      RedrawLine(i);
    }
  }
  ShowMemo();
  UpdateAudioNote();
}

// A call on the stand-in devices is silent both ways: the status bar says so
// while one is up.
void TMainForm::UpdateAudioNote() {
  bool calls = std::any_of(lineCalls_.begin(), lineCalls_.end(), [](const ISipCallPtr& c) { return c != nullptr; });
  if (calls && audioFrm_->NoSoundCard())
    statusBar_->SetNote("Sin audio", "Sin dispositivo de audio: la llamada no se oye.");
  else
    statusBar_->SetNote({}, {});
}

void TMainForm::RedrawLine(int line) { dialFrm_->SetLamp(line, lineLamps_[size_t(line - 1)] != 0); }

// How secure a connected call is, for an account that asked for SIP over TLS
// or SRTP (an account that did not sees the memo as it always was).
QString TMainForm::SecurityText(ISipCall& call) {
  ISipAccountPtr account = call.GetAccount();
  if (!account || (account->GetTransport() == TSipTransport::Udp && account->GetSrtpMode() == TSrtpMode::Off))
    return {};
  const int state = call.GetState();
  if (state != csConnected && state != csHoldSent) return {};
  const bool tls = account->GetTransport() == TSipTransport::Tls;
  const bool srtp = call.GetSrtp().Active();
  const QString br = QStringLiteral("\r\n");
  if (tls && srtp) return br + "Llamada cifrada (TLS y SRTP)";
  if (srtp) return br + "Audio cifrado (SRTP), SIP sin TLS";
  return br + "Llamada sin cifrar";
}

QString TMainForm::MemoText() const {
  const QString br = QStringLiteral("\r\n");
  QString text = QStringLiteral("[ LINEA %1 de 6 ]").arg(currentLine_);
  ISipCallPtr call = CurrentCall();
  if (call) {
    text += call->GetIncoming() ? " Llamada Entrante" : " Llamada Saliente";
    text += br + "Llamando a " + QString::fromStdString(call->GetRemoteUser());
  }
  const std::string& digits = lineDigits_[size_t(currentLine_ - 1)];
  if (!digits.empty()) text += br + "DTMF detectado: " + QString::fromStdString(digits);
  if (call && call->GetState() == csRinging) text += br + "Timbrando...";
  if (call) text += SecurityText(*call);
  return text;
}

void TMainForm::ShowMemo() {
  QString text = MemoText();
  text.replace("\r\n", "\n");  // the widget's own line break
  if (dialFrm_->LineMemo->toPlainText() != text) dialFrm_->LineMemo->setPlainText(text);
}

// ---- component events ------------------------------------------------------------

void TMainForm::IncomingCall(const ISipCallPtr& call) {
  for (size_t i = 0; i < lineCalls_.size(); ++i) {
    if (lineCalls_[i]) continue;
    lineCalls_[i] = call;
    StartRing();
    AnnounceCall(int(i) + 1, call);
    return;
  }
  // Six lines busy: the caller gets the busy answer (its OnBye finds no line).
  client_->Reject(call);
}

void TMainForm::AnnounceCall(int line, const ISipCallPtr& call) {
  // The window comes up from wherever it was and asks for attention; it
  // does not take the keyboard from what the user is typing into.
  if (isMinimized())
    showNormal();
  else if (!isVisible())
    show();
  raise();
  QApplication::alert(this);
  if (!isActiveWindow()) {
    SetUrgencyHint(this, true);
    urgent_ = true;
  }
  std::weak_ptr<ISipCall> ringing = call;
  auto take = [this, ringing](const char* action) {
    ISipCallPtr c = ringing.lock();
    if (!c || c->GetState() != csRinging) return;
    for (int i = 1; i <= 6; ++i) {
      if (lineCalls_[size_t(i - 1)] != c) continue;
      SelectLine(i);
      if (QString(action) == "CallAction") RaiseWindow();
      actions_->ExecuteAction(*Action(action));
      return;
    }
  };
  notifier_->ShowCall("Llamada Entrante",
                      QString("De: %1\nLinea %2").arg(QString::fromStdString(call->GetRemoteUser())).arg(line),
                      [take] { take("CallAction"); }, [take] { take("HangUpAction"); });
}

void TMainForm::CallAnswered(const ISipCallPtr&) {
  StopRing();
  notifier_->CloseCall();
}

void TMainForm::CallEnded(const ISipCallPtr& call) {
  StopRing();
  for (size_t i = 0; i < lineCalls_.size(); ++i) {
    if (lineCalls_[i] != call) continue;
    lineCalls_[i].reset();
    lineDigits_[i].clear();
  }
  notifier_->CloseCall();
  RefreshLines();
}

void TMainForm::DtmfReceived(const ISipCallPtr& call, const std::string& digit) {
  for (size_t i = 0; i < lineCalls_.size(); ++i) {
    if (lineCalls_[i] != call || call->GetState() != csConnected) continue;
    lineDigits_[i] += digit;
    ShowMemo();
  }
}

void TMainForm::StartRing() {
  StopRing();
  ring_ = std::make_unique<TRingThread>(kRingResource, audioFrm_->RingDevice());
}

void TMainForm::StopRing() { ring_.reset(); }

// ---- call actions ---------------------------------------------------------------

void TMainForm::CallExecute() {
  StopRing();
  if (registeredAccount_) {
    ISipCallPtr call = CurrentCall();
    int in = audioFrm_->InputDevice(), out = audioFrm_->OutputDevice();
    if (!call) {
      lineCalls_[size_t(currentLine_ - 1)] =
          client_->MakeCall(registeredAccount_, dialFrm_->PhoneEdit->text().toStdString(), in, out);
    } else if (call->GetState() == csRinging) {
      call->SetInputDevice(in);
      call->SetOutputDevice(out);
      client_->Answer(call);
    }
  }
  dialFrm_->PhoneEdit->clear();
}

void TMainForm::HangUpExecute() {
  StopRing();
  ISipCallPtr call = CurrentCall();
  if (!call) return;
  dialFrm_->HangUpBtn->setEnabled(false);
  if (call->GetState() == csRinging && call->GetIncoming())
    client_->Reject(call);
  else
    client_->HangUp(call);
}

void TMainForm::HoldExecute() {
  ISipCallPtr call = CurrentCall();
  if (!call) return;
  if (call->GetState() == csConnected)
    client_->Hold(call);
  else if (call->GetState() == csHoldSent)
    client_->Unhold(call);
}

void TMainForm::TransferExecute() {
  ISipCallPtr call = CurrentCall();
  if (!call) return;
  QLineEdit* edit = dialFrm_->TransferEdit;
  if (edit->text().isEmpty()) {
    QMessageBox box(QMessageBox::Critical, "Transferencia Llamada",
                    "Por favor ingrese el numero al que deseas transferir.", QMessageBox::Ok, this);
    box.exec();
    edit->setFocus();
    return;
  }
  if (call->GetState() == csConnected) client_->Transfer(call, edit->text().toStdString());
}

void TMainForm::ConferenceExecute() {
  if (conference_)
    conference_.reset();
  else
    conference_ = client_->CreateConference();
  for (const ISipCallPtr& call : lineCalls_)
    if (call && call->GetState() == csConnected) call->SetConference(conference_);
}

void TMainForm::RecordExecute() {
  if (!recorder_) {
    recorder_ = client_->CreateRecorder();
    if (ISipCallPtr call = CurrentCall()) call->SetRecorder(recorder_);
    return;
  }
  QString fileName = AskSaveFile("Guardar grabacion", "grabacion.wav");
  // A failed save raises here and keeps the recording for another try.
  if (!fileName.isEmpty()) recorder_->SaveToFile(fileName.toStdString());
  // The calls stop feeding a recording nobody can save any more.
  for (const ISipCallPtr& call : lineCalls_)
    if (call && call->GetRecorder() == recorder_) call->SetRecorder(nullptr);
  recorder_.reset();
}

QString TMainForm::AskSaveFile(const QString& title, const QString& fileName) {
  if (options_.SaveFileDialog) return options_.SaveFileDialog(title, fileName);
  return QFileDialog::getSaveFileName(this, title, fileName, "WAV (*.wav)");
}

// ---- dial pad ---------------------------------------------------------------------

void TMainForm::KeypadPress(int tag) {
  QString digit = tag == 10 ? "*" : tag == 11 ? "#" : QString::number(tag);
  ISipCallPtr call = CurrentCall();
  if (call && call->GetState() == csConnected) {
    client_->SendDtmf(call, digit.toStdString());
    return;
  }
  QLineEdit* phone = dialFrm_->PhoneEdit;
  phone->setText(phone->text() + digit);
}

}  // namespace qv
