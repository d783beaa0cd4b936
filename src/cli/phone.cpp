#include "cli/phone.h"

#include <algorithm>

#include "cli/startchecks.h"
#include "platform/errors.h"

namespace qv::cli {

namespace {

// A receiver takes a tone as a new digit only after a pause: ours waits for
// 250 ms without the tone. The tones themselves end in 50 ms of silence.
constexpr auto kInterDigitPause = std::chrono::milliseconds(300);

bool IsStatusCode(const std::string& text) {
  return text.size() == 3 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

TCliPhone::TCliPhone(const TCliOptions& options, TOutput& output)
    : options_(options), out_(output), lines_(size_t(options.Lines)) {
  client_.SetLocalPort(options_.LocalPort);
  client_.SetRtpPortMin(options_.RtpMin);
  client_.SetRtpPortMax(options_.RtpMax);
  client_.SetDtmfMethod(options_.DtmfMethod);
  client_.SetEchoCancellation(options_.EchoCancellation);
  client_.SetKeepAlive(options_.KeepAlive);
  client_.SetMaxCalls(options_.Lines);
  client_.SetInviteRateLimit(options_.InviteRate);
  client_.SetWideband(options_.Wideband);
  client_.OnInvite = [this](TSipClient&, const ISipCallPtr& call) { OnInvite(call); };
  client_.OnInviteOk = [this](TSipClient&, const ISipCallPtr& call) { OnInviteOk(call); };
  client_.OnRingback = [this](TSipClient&, const ISipCallPtr& call) { OnRingback(call); };
  client_.OnBye = [this](TSipClient&, const ISipCallPtr& call) { OnBye(call); };
  client_.OnDtmf = [this](TSipClient&, const ISipCallPtr& call, const std::string& d) { OnDtmf(call, d); };
  client_.OnWavStopped = [this](TSipClient&, const ISipCallPtr& call) { OnWavStopped(call); };
  client_.OnDeviceError = [this](TSipClient&, const ISipCallPtr& call, bool input, const std::string& reason) {
    OnDeviceError(call, input, reason);
  };
  client_.OnRegistrationOk = [this](TSipClient&, const ISipAccountPtr&) { out_.Event("registered"); };
  client_.OnRegistrationBye = [this](TSipClient&, const ISipAccountPtr& account) {
    // The engine says why; an un-registration the user asked for is
    // called so whatever the registrar answered to it.
    TRegistrationEndReason why = account->GetEndReason();
    std::string reason = RegistrationEndText(why.Kind);
    if (unregistering_) reason = "unregistered";
    if (reason.empty())
      reason = TSipClient::RegistrationEnd(account) == TSipClient::TRegistrationEnd::NoAnswer ? "no-answer" : "refused";
    unregistering_ = false;
    std::string fields = "reason=" + reason;
    if (reason == "refused" && why.Status != 0) fields += " status=" + std::to_string(why.Status);
    if (!why.Detail.empty()) {
      std::string detail = why.Detail;  // one line, without the quotes that delimit it
      for (char& c : detail)
        if (c == '"' || c == '\n' || c == '\r') c = '\'';
      fields += " detail=\"" + detail + "\"";
    }
    out_.Event("registration-ended", fields);
  };
  if (options_.Verbose) client_.OnLog = [this](TSipClient&, const std::string& text) { out_.Log(text); };
}

TCliPhone::~TCliPhone() {
  try {
    Stop();
  } catch (...) {
  }
}

void TCliPhone::Start() {
  try {
    client_.SetActive(true);
  } catch (const Exception& e) {
    if (std::string(e.what()) != "bind failed") throw;
    throw Exception(BindFailureText(options_.LocalPort));
  }
  client_.SetTransport(options_.Transport);
  client_.SetSrtpMode(options_.Srtp);
  client_.SetCaFile(options_.CaFile);
  client_.SetSrtpKeysWithoutTls(options_.SrtpKeysWithoutTls);
  account_ = client_.AddAccount(options_.Server, options_.User, options_.Password, options_.Proxy,
                                options_.Stun);
  account_->SetRealms(options_.Realms);
  client_.PrepareAccount(account_);
  if (!options_.NoRegister) client_.Register(account_);
}

void TCliPhone::Stop() {
  if (!client_.GetActive()) return;
  // The engine says goodbye to connected calls only; a call still ringing on
  // either side would ring on at the peer, so it is cancelled or refused.
  for (TLine& line : lines_) {
    ISipCallPtr call = line.Call;
    if (!call) continue;
    int state = call->GetState();
    try {
      if (call->GetIncoming() && state == csRinging) {
        line.EndCode = "486";
        client_.Reject(call);
      } else if (!call->GetIncoming() && state >= csInviteSent && state <= csRinging) {
        client_.HangUp(call);
      }
    } catch (const std::exception& e) {
      out_.Error(e.what());
    }
  }
  // The calls go with the engine; what they still hold is let go first.
  for (TLine& line : lines_) line = TLine();
  recorder_.reset();
  conference_.reset();
  client_.SetActive(false);
}

void TCliPhone::Pump(int timeoutMs, const std::vector<int>& fds, std::vector<bool>* readable) {
  // Wake in time for an automatic answer or the next in-band digit.
  auto now = std::chrono::steady_clock::now();
  auto wakeAt = [&](TTime at) {
    auto ms = std::max<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count(), 0);
    if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = int(ms);
  };
  for (const TLine& line : lines_) {
    if (line.AnswerDue) wakeAt(line.AnswerAt);
    if (line.ToneDue) wakeAt(line.ToneAt);
  }
  std::vector<int> all = fds;
  if (interruptFd_ >= 0) all.push_back(interruptFd_);
  std::vector<bool> flags;
  try {
    client_.ProcessMessages(timeoutMs, all, &flags);
  } catch (const std::exception& e) {
    out_.Error(e.what());
  }
  if (interruptFd_ >= 0 && flags.size() == all.size() && flags.back()) interrupted_ = true;
  if (readable) readable->assign(flags.begin(), flags.begin() + std::min(flags.size(), fds.size()));
  if (readable) readable->resize(fds.size(), false);
  RunDueTimers();
  ApplyLineAudio();
}

// ---- events ---------------------------------------------------------------

void TCliPhone::OnInvite(const ISipCallPtr& call) {
  auto free = std::find_if(lines_.begin(), lines_.end(), [](const TLine& l) { return !l.Call; });
  if (free == lines_.end()) {
    // Every line is busy: the caller hears busy; the OnBye this raises finds
    // the call on no line and prints nothing.
    client_.Reject(call);
    return;
  }
  int index = int(free - lines_.begin());
  *free = TLine();
  free->Call = call;
  out_.Event("incoming", LineField(index) + " from=" + Printable(call->GetRemoteUser(), true));
  if (options_.AutoAnswer) {
    free->AnswerDue = true;
    free->AnswerAt = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(int64_t(options_.AutoAnswerSeconds * 1000));
    if (options_.AutoAnswerSeconds == 0) RunDueTimers();
  }
}

void TCliPhone::OnInviteOk(const ISipCallPtr& call) {
  int index = LineOf(call);
  if (index < 0) return;
  TLine& line = lines_[size_t(index)];
  // The 200s to our hold and resume re-INVITEs come this way too; the call
  // was answered once.
  if (line.Answered) return;
  line.Answered = true;
  line.AnswerDue = false;
  out_.Event("answered", LineField(index));
}

void TCliPhone::OnRingback(const ISipCallPtr& call) {
  int index = LineOf(call);
  if (index >= 0) out_.Event("ringback", LineField(index));
}

void TCliPhone::OnBye(const ISipCallPtr& call) {
  // A call rejected or redirected by us comes here twice at most (once from
  // the operation, once when its state becomes 0); only the first finds it
  // on its line.
  int index = LineOf(call);
  if (index < 0) return;
  TLine& line = lines_[size_t(index)];
  std::string code = EndCode(line);
  if (call->GetRecorder() && call->GetRecorder() == recorder_) call->SetRecorder(nullptr);
  line = TLine();
  out_.Event("bye", LineField(index) + " status=" + code);
}

void TCliPhone::OnDtmf(const ISipCallPtr& call, const std::string& digit) {
  int index = LineOf(call);
  // As on the desktop: digits count while the call is connected.
  if (index < 0 || call->GetState() != csConnected) return;
  if (digit == "s")
    out_.Event("silence", LineField(index));
  else
    out_.Event("dtmf", LineField(index) + " digit=" + Printable(digit, true));
}

void TCliPhone::OnDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) {
  int index = LineOf(call);
  if (index < 0) return;
  out_.Event("device-error", LineField(index) + (input ? " device=capture" : " device=playback") +
                                 " reason=" + Printable(reason));
}

void TCliPhone::OnWavStopped(const ISipCallPtr& call) {
  int index = LineOf(call);
  if (index < 0) return;
  TLine& line = lines_[size_t(index)];
  if (line.TonePlaying) {
    // The next digit, even of a later command, waits for the pause.
    line.ToneAt = std::chrono::steady_clock::now() + kInterDigitPause;
    // An in-band digit string is one sound to the user: report its end only.
    if (!line.PendingTones.empty()) {
      line.ToneDue = true;
      return;
    }
  }
  line.TonePlaying = false;
  out_.Event("wav-stopped", LineField(index));
}

// ---- lines ----------------------------------------------------------------

int TCliPhone::LineOf(const ISipCallPtr& call) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].Call == call) return int(i);
  return -1;
}

int TCliPhone::RingingLine() const {
  auto ringing = [](const TLine& l) {
    return l.Call && l.Call->GetIncoming() && l.Call->GetState() == csRinging;
  };
  if (ringing(lines_[size_t(current_)])) return current_;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (ringing(lines_[i])) return int(i);
  return -1;
}

void TCliPhone::ApplyLineAudio() {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const ISipCallPtr& call = lines_[i].Call;
    if (!call) continue;
    bool current = int(i) == current_;
    if (call->GetSpeakerEnabled() != current) call->SetSpeakerEnabled(current);
    if (call->GetMicrophoneEnabled() != current) call->SetMicrophoneEnabled(current);
  }
}

void TCliPhone::AnswerLine(int index) {
  TLine& line = lines_[size_t(index)];
  line.AnswerDue = false;
  ISipCallPtr call = line.Call;
  call->SetInputDevice(options_.InputDevice);
  call->SetOutputDevice(options_.OutputDevice);
  current_ = index;
  ApplyLineAudio();
  client_.Answer(call);
}

void TCliPhone::RunDueTimers() {
  auto now = std::chrono::steady_clock::now();
  for (size_t i = 0; i < lines_.size(); ++i) {
    TLine& line = lines_[i];
    if (line.ToneDue && line.ToneAt <= now) {
      line.ToneDue = false;
      try {
        if (line.Call && line.Call->GetState() == csConnected) PlayNextTone(line);
      } catch (const std::exception& e) {
        out_.Error(std::string("dtmf: ") + e.what());
      }
    }
    if (!line.AnswerDue || line.AnswerAt > now) continue;
    line.AnswerDue = false;
    if (!line.Call || line.Call->GetState() != csRinging) continue;
    // Answering takes the line over only when the user is not busy on another.
    bool keepCurrent = lines_[size_t(current_)].Call && int(i) != current_;
    int previous = current_;
    try {
      AnswerLine(int(i));
    } catch (const std::exception& e) {
      out_.Error(std::string("answer: ") + e.what());
    }
    if (keepCurrent) current_ = previous;
  }
}

void TCliPhone::PlayNextTone(TLine& line) {
  std::string digit = line.PendingTones.substr(0, 1);
  line.PendingTones.erase(0, 1);
  line.TonePlaying = true;
  client_.SendDtmf(line.Call, digit);
}

std::string TCliPhone::EndCode(const TLine& line) const {
  std::string status = line.Call->GetEndStatus();
  if (IsStatusCode(status) && status[0] >= '3') return status;
  if (!line.EndCode.empty()) return line.EndCode;
  if (line.Answered) return "200";
  // Nobody answered and no failure came: a cancelled call.
  return "487";
}

}  // namespace qv::cli
