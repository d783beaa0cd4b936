#include "component/sipclient.h"

#include <cctype>
#include <sstream>

#include "media/codecs.h"
#include <sstream>

#include "media/conference.h"
#include "media/recorder.h"
#include "media/resources.h"
#include "media/wavfiles.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "engine/logmessage.h"
#include "engine/sipengine.h"
#include "platform/lockguard.h"

namespace qv {

namespace {

constexpr uint32_t kTickMs = 1000;

// The tone resources are numbered 1-9 for "1"-"9", 10 for "0", 11 for "*" and
// 12 for "#"; there is none for "A"-"D".
int ToneResourceOfDigit(char digit) {
  if (digit >= '1' && digit <= '9') return digit - '0';
  if (digit == '0') return 10;
  if (digit == '*') return 11;
  if (digit == '#') return 12;
  return 0;
}

}  // namespace

TSipClient::TSipClient()
    : queue_(std::make_shared<TMessageQueue>()),
      rtpPortMin_(kDefaultRtpPortMin),
      rtpPortMax_(kDefaultRtpPortMin + kDefaultRtpPortRange) {}

TSipClient::~TSipClient() {
  try {
    if (engine_ && engine_->GetActive()) engine_->SetActive(false);
  } catch (...) {
  }
  engine_.reset();
  // Calls an embedder still holds may post through an engine that outlives
  // us; the hook must not reach a consumer that is going away with us.
  queue_->SetNotify(nullptr);
  queue_->Clear();  // messages still queued are dropped with the component
}

ISipEngine& TSipClient::RequireEngine() const {
  if (!engine_) throw Exception("not active");
  return *engine_;
}

void TSipClient::SetSilenceThreshold(int value) {
  silenceThreshold_ = value;
  if (engine_) engine_->SetSilenceThreshold(value);
}

void TSipClient::SetSilenceTimeout(int value) {
  silenceTimeout_ = value;
  if (engine_) engine_->SetSilenceTimeout(value);
}

void TSipClient::SetEchoCancellation(bool value) {
  echoCancellation_ = value;
  if (engine_) engine_->SetEchoCancellation(value);
}

void TSipClient::SetWideband(bool value) {
  wideband_ = value;
  if (engine_) engine_->SetCodecs(value ? WidebandCodecs() : NarrowbandCodecs());
}

void TSipClient::SetActive(bool value) {
  active_ = value;
  if (value) {
    // An engine that someone else still holds would keep the port bound and
    // make the new one fail; switch it off before letting go of it.
    if (ISipEnginePtr old = std::move(engine_); old && old->GetActive()) old->SetActive(false);
    engine_ = CreateSipEngine(localPort_, queue_);
    engine_->SetSilenceThreshold(silenceThreshold_);
    engine_->SetSilenceTimeout(silenceTimeout_);
    engine_->SetEchoCancellation(echoCancellation_);
    engine_->SetRtpPortMin(rtpPortMin_);
    engine_->SetRtpPortMax(rtpPortMax_);
    engine_->SetCodecs(wideband_ ? WidebandCodecs() : NarrowbandCodecs());
    engine_->SetKeepAlive(keepAlive_);
    engine_->SetMaxCalls(maxCalls_);
    engine_->SetInviteRateLimit(inviteRateLimit_);
    lastTick_ = GetTickMs();
    engine_->SetActive(true);
  } else if (engine_) {
    ISipEnginePtr engine = std::move(engine_);
    engine->SetActive(false);
  }
}

void TSipClient::SetKeepAlive(bool value) {
  keepAlive_ = value;
  if (engine_) engine_->SetKeepAlive(value);
}

void TSipClient::SetMaxCalls(int value) {
  maxCalls_ = value;
  if (engine_) engine_->SetMaxCalls(value);
}

void TSipClient::SetInviteRateLimit(int value) {
  inviteRateLimit_ = value;
  if (engine_) engine_->SetInviteRateLimit(value);
}

int TSipClient::BoundPort() const { return engine_ ? engine_->GetBoundPort() : 0; }

ISipAccountPtr TSipClient::AddAccount(const std::string& server, const std::string& userName,
                                      const std::string& password, const std::string& proxy,
                                      const std::string& stunServer) {
  ISipEngine& engine = RequireEngine();
  // A server written as a SIP URI may name its transport: "sips:" and
  // ";transport=tls" mean TLS (RFC 5630), ";transport=tcp" TCP. Either wins
  // over the Transport property; the engine is given the bare host[:port].
  std::string host = server;
  TSipTransport transport = transport_;
  auto lowered = [](std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  if (lowered(host.substr(0, 5)) == "sips:") {
    host.erase(0, 5);
    transport = TSipTransport::Tls;
  } else if (lowered(host.substr(0, 4)) == "sip:") {
    host.erase(0, 4);
  }
  if (size_t semicolon = host.find(';'); semicolon != std::string::npos) {
    const std::string params = lowered(host.substr(semicolon));
    if (params.find(";transport=tls") != std::string::npos) transport = TSipTransport::Tls;
    if (params.find(";transport=tcp") != std::string::npos && transport != TSipTransport::Tls)
      transport = TSipTransport::Tcp;
    host.erase(semicolon);
  }
  ISipAccountPtr account = engine.AddAccount(stunServer, host, userName, password, proxy);
  account->SetTransport(transport);
  account->SetSrtpMode(srtpMode_);
  account->SetCaFile(caFile_);
  account->SetSrtpKeysWithoutTls(srtpKeysWithoutTls_);
  return account;
}

void TSipClient::Register(const ISipAccountPtr& account) {
  ISipEngine& engine = RequireEngine();
  account->SetStateTime(Now());
  engine.StartRegistration(account);
}

void TSipClient::Unregister(const ISipAccountPtr& account) { RequireEngine().Unregister(account); }

// The engine keeps the reason with the account; this coarser answer counts
// everything but "no answer" as a refusal.
TSipClient::TRegistrationEnd TSipClient::RegistrationEnd(const ISipAccountPtr& account) {
  return account->GetEndReason().Kind == qv::TRegistrationEnd::NoAnswer ? TRegistrationEnd::NoAnswer
                                                                         : TRegistrationEnd::Refused;
}

size_t TSipClient::DroppedLogLines() const { return queue_->Dropped(MsgLog); }

void TSipClient::PrepareAccount(const ISipAccountPtr& account) { RequireEngine().PrepareAccount(account); }

void TSipClient::RemoveAccount(const ISipAccountPtr& account) { RequireEngine().RemoveAccount(account); }

ISipCallPtr TSipClient::MakeCall(const ISipAccountPtr& account, const std::string& number,
                                 int inputDevice, int outputDevice) {
  return RequireEngine().Invite(account, number, inputDevice, outputDevice);
}

void TSipClient::Answer(const ISipCallPtr& call) {
  RequireEngine().Answer(call);
  // A caller that cancelled meanwhile leaves nothing answered: its OnBye
  // comes instead.
  if (OnInviteOk && call->GetState() == csConnected) OnInviteOk(*this, call);
}

void TSipClient::Reject(const ISipCallPtr& call) {
  ISipEngine& engine = RequireEngine();
  engine.Busy(call);
  engine.DropCall(call);
  if (OnBye) OnBye(*this, call);
}

void TSipClient::HangUp(const ISipCallPtr& call) { RequireEngine().HangUp(call); }
void TSipClient::Hold(const ISipCallPtr& call) { RequireEngine().Hold(call); }
void TSipClient::Unhold(const ISipCallPtr& call) { RequireEngine().Unhold(call); }

void TSipClient::Transfer(const ISipCallPtr& call, const std::string& target) {
  ISipEngine& engine = RequireEngine();
  bool ringing = call->GetIncoming() && call->GetState() == csRinging;
  engine.Transfer(call, target);
  // A ringing call is redirected and over at once.
  if (ringing && OnBye) OnBye(*this, call);
}

void TSipClient::SendDtmf(const ISipCallPtr& call, const std::string& digit) {
  ISipEngine& engine = RequireEngine();
  switch (dtmfMethod_) {
    case dtmfRFC2833:
      engine.SendDtmfRfc2833(call, digit);
      return;
    case dtmfSipInfo:
      // dtmf-relay carries one signal per INFO: "Signal= 12" would reach the
      // peer as event 12 ("A"), not as "1" then "2".
      for (char d : digit) engine.SendDtmfInfo(call, std::string(1, d));
      return;
    case dtmfInBand:
      break;
  }
  if (digit.empty()) return;
  int number = ToneResourceOfDigit(digit[0]);
  if (number == 0) return;
  IWavFilePtr source;
  {
    std::lock_guard<std::mutex> guard(toneLock_);
    std::istringstream resource(std::string(GetResource(number)));
    source = std::make_shared<TWavStream>(resource);
  }
  source->SetPosition(0);
  call->SetWavSource(source);
}

ISipConferencePtr TSipClient::CreateConference() { return std::make_shared<TSipConference>(); }

ISipRecorderPtr TSipClient::CreateRecorder() { return std::make_shared<TSipRecorder>(); }

void TSipClient::ProcessMessages(int timeoutMs) { ProcessMessages(timeoutMs, {}, nullptr); }

void TSipClient::ProcessMessages(int timeoutMs, const std::vector<int>& fds,
                                 std::vector<bool>* readable) {
  if (engine_ && active_ && timeoutMs != 0) {
    // Wake in time for the next tick.
    uint32_t sinceTick = GetTickMs() - lastTick_;
    int untilTick = sinceTick >= kTickMs ? 0 : int(kTickMs - sinceTick);
    if (timeoutMs < 0 || untilTick < timeoutMs) timeoutMs = untilTick;
  }
  queue_->Wait(timeoutMs, fds, readable);
  TMessage message;
  while (queue_->Get(message)) HandleMessage(message);
  TickWhenDue();
}

void TSipClient::TickWhenDue() {
  if (!engine_ || !active_ || GetTickMs() - lastTick_ < kTickMs) return;
  lastTick_ = GetTickMs();
  engine_->Tick();
}

void TSipClient::OfferIncomingCall(const ISipCallPtr& call) {
  // A caller that cancels before we get here leaves a call the engine has
  // already dropped while its state still reads 0: offering it would ring
  // forever. The list is looked at outside the call lock (list lock first).
  auto listed = [&] { return engine_ && engine_->FindCallByCallId(call->GetCallId()) == call; };
  if (!listed()) return;
  {
    TLockGuard<ISipCall> lock(*call);
    if (call->State() != TCallState::Idle) return;
    call->SetState(TCallState::Ringing);
  }
  // Dropped in between: back to 0, which posts the OnBye that pairs with
  // this OnInvite.
  if (!listed()) call->SetState(TCallState::Idle);
  if (OnInvite) OnInvite(*this, call);
}

void TSipClient::HandleMessage(TMessage& message) {
  // The message's reference is released when `message` is next overwritten or
  // goes out of scope, on every path including an exception from a handler.
  switch (message.Msg) {
    case MsgLog:
      if (OnLog) {
        auto log = std::dynamic_pointer_cast<ILogMessage>(message.Obj);
        if (log) OnLog(*this, log->GetText());
      }
      return;
    case MsgIncomingCall: {
      auto call = std::dynamic_pointer_cast<ISipCall>(message.Obj);
      message.Obj.reset();
      if (call) OfferIncomingCall(call);
      return;
    }
    case MsgCallEnded:
    case MsgRingback: {
      auto call = std::dynamic_pointer_cast<ISipCall>(message.Obj);
      const TOnCallEvent& event = message.Msg == MsgCallEnded ? OnBye : OnRingback;
      if (!call || !event) return;
      // Handlers run under the call lock: they must not wait for anything a
      // worker thread holding that lock waits for.
      TLockGuard<ISipCall> lock(*call);
      event(*this, call);
      return;
    }
    case MsgCallAnswered:
    case MsgWavStopped: {
      auto call = std::dynamic_pointer_cast<ISipCall>(message.Obj);
      const TOnCallEvent& event = message.Msg == MsgCallAnswered ? OnInviteOk : OnWavStopped;
      if (call && event) event(*this, call);
      return;
    }
    case MsgRegistered:
    case MsgRegistrationEnded: {
      auto account = std::dynamic_pointer_cast<ISipAccount>(message.Obj);
      const TOnAccountEvent& event = message.Msg == MsgRegistered ? OnRegistrationOk : OnRegistrationBye;
      if (account && event) event(*this, account);
      return;
    }
    case MsgDeviceError: {
      auto error = std::dynamic_pointer_cast<TDeviceErrorEvent>(message.Obj);
      if (error && error->Call && OnDeviceError) OnDeviceError(*this, error->Call, error->Input, error->Reason);
      return;
    }
    case MsgDtmf: {
      auto call = std::dynamic_pointer_cast<ISipCall>(message.Obj);
      if (call && OnDtmf) OnDtmf(*this, call, std::string(1, char(message.WParam)));
      return;
    }
    default:
      return;
  }
}

}  // namespace qv
