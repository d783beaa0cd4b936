// The user's operations on accounts and calls, and the handling of responses
// to our INVITEs and of re-INVITEs on established calls.
#include <chrono>
#include <thread>

#include "dialogs/account.h"
#include "dialogs/call.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "media/codecs.h"
#include "media/wavfiles.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "sip/engineutil.h"
#include "sip/iputils.h"
#include "sip/sip.h"
#include "sip/sipmessage.h"

namespace qv {

namespace {

void Pause100ms() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

bool IsOneOf(int value, std::initializer_list<int> values) {
  for (int v : values)
    if (v == value) return true;
  return false;
}

// The binding request of a registration: RFC 3489 header, a transaction
// identifier cut from the account's Call-ID so the answer can be matched back,
// and one CHANGE-REQUEST attribute asking for nothing.
std::string StunBindingRequest(const std::string& callId) {
  std::string request("\x00\x01\x00\x08", 4);
  request += StunTransactionId(callId);
  request += std::string("\x00\x03\x00\x04\x00\x00\x00\x00", 8);
  return request;
}

// "host" or "host:port"; STUN listens on 3478 unless the user says otherwise.
void SplitStunServer(const std::string& text, std::string& host, int& port) {
  size_t colon = text.find(':');
  host = text.substr(0, colon);
  port = colon == std::string::npos ? 3478 : ToIntDef(text.substr(colon + 1), 3478);
}

}  // namespace

int ToIntDef(const std::string& text, int fallback) {
  if (text.empty()) return fallback;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i >= text.size()) return fallback;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return fallback;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483647LL + negative) return fallback;
  }
  return int(negative ? -value : value);
}

void TSipEngine::RequireActive() {
  if (!active_) throw Exception("not active");
}

int TSipEngine::SipPort() {
  int bound = BoundPort();
  return bound ? bound : int(localPort_);
}

void TSipEngine::SendToServer(ISipAccount& account, const std::string& text) {
  SendText(text, account.GetServerPort(), account.GetServer());
}

void TSipEngine::SendByVia(const TSipMessage& request, ISipAccount& account, const std::string& text) {
  std::string host = request.ViaHost.empty() ? account.GetServer() : request.ViaHost;
  int port = ToIntDef(request.ViaPort, account.GetServerPort());
  SendText(text, port, host);
}

// A configured proxy receives all the account's requests, as after a
// registration; an account that never registered is prepared the same way,
// or its calls and answers would go nowhere without a word.
void TSipEngine::PrepareAccount(ISipAccount& account) {
  if (account.GetServer().empty()) {
    std::string proxy = account.GetProxy();
    account.SetServer(ResolveHost(proxy.empty() ? account.GetDomain() : proxy));
  }
  if (account.GetLocalPort() == 0) account.SetLocalPort(SipPort());
}

ISipAccountPtr TSipEngine::RequestAccount() {
  ISipAccountPtr account = accounts_.FirstAccount();
  if (account) PrepareAccount(*account);
  return account;
}

void TSipEngine::StartMedia(ISipCall& call) {
  if (!call.GetMediaActive()) call.SetMediaActive(true);
}

void TSipEngine::StopMedia(ISipCall& call) {
  if (call.GetMediaActive()) call.SetMediaActive(false);
}

// ---- accounts -------------------------------------------------------------

ISipAccountPtr TSipEngine::AddAccount(const std::string& stunServer, const std::string& server,
                                      const std::string& userName, const std::string& password,
                                      const std::string& proxy) {
  auto account = std::make_shared<TAccount>();
  account->SetStunServer(stunServer);
  account->SetProxy(proxy);
  account->SetUserName(userName);
  account->SetPassword(password);
  size_t colon = server.find(':');
  account->SetDomain(server.substr(0, colon));
  account->SetServerPort(colon == std::string::npos ? 5060
                                                    : ToIntDef(server.substr(colon + 1, 10), 5060));
  accounts_.Add(account);
  return account;
}

void TSipEngine::StartRegistration(const ISipAccountPtr& account) {
  bool registerNow = false;
  {
    TScopedLock<ISipAccount> lock(*account);
    if (account->GetServer().empty()) {
      std::string proxy = account->GetProxy();
      account->SetServer(ResolveHost(proxy.empty() ? account->GetDomain() : proxy));
    }
    std::string stunHost;
    int stunPort;
    SplitStunServer(account->GetStunServer(), stunHost, stunPort);
    if (account->GetStunAddress().empty() && !stunHost.empty())
      account->SetStunAddress(ResolveHostOrEmpty(stunHost));
    account->SetLocalPort(SipPort());
    if (!account->GetStunAddress().empty()) {
      account->SetStateTime(Now());
      account->SetState(asStunSent);
      SendText(StunBindingRequest(account->GetCallId()), stunPort, account->GetStunAddress());
    } else {
      registerNow = true;
    }
  }
  if (registerNow) Register(account);
}

void TSipEngine::Register(const ISipAccountPtr& account) {
  RequireActive();
  TScopedLock<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  PrepareAccount(*account);
  account->SetCSeq(NextCSeq());
  std::string text = BuildRegister(*account);
  account->SetStateTime(Now());
  account->SetState(asRegisterSent);
  SendToServer(*account, text);
}

void TSipEngine::Unregister(const ISipAccountPtr& account) {
  TScopedLock<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  RequireActive();
  PrepareAccount(*account);
  account->SetCSeq(NextCSeq());
  std::string text = BuildUnregister(*account);
  account->SetStateTime(Now());
  account->SetState(asUnregisterSent);
  SendToServer(*account, text);
}

void TSipEngine::RegisterWithCredentials(const ISipAccountPtr& account, int expires) {
  if (!active_) return;
  TScopedLock<ISipAccount> lock(*account);
  account->SetBranch(NewBranch());
  account->SetCSeq(NextCSeq());
  std::string text = expires != 0 ? BuildRegisterAuth(*account) : BuildUnregisterAuth(*account);
  SendToServer(*account, text);
}

void TSipEngine::SendMessage(const ISipAccountPtr& account, const std::string& user,
                             const std::string& text) {
  RequireActive();
  TScopedLock<ISipAccount> lock(*account);
  PrepareAccount(*account);
  account->SetCSeq(NextCSeq());
  std::string message = BuildMessage(*account, user, text);
  account->SetMessageText(text);  // kept for a retry with credentials
  SendToServer(*account, message);
}

void TSipEngine::SendMessageWithCredentials(const TSipMessage& response, const ISipAccountPtr& account,
                                            const std::string& user) {
  RequireActive();
  TScopedLock<ISipAccount> lock(*account);
  PrepareAccount(*account);
  account->SetCSeq(NextCSeq());
  std::string message = BuildMessageAuth(response, *account, user);
  account->SetMessageText("");
  SendToServer(*account, message);
}

// ---- calls ----------------------------------------------------------------

ISipCallPtr TSipEngine::Invite(const ISipAccountPtr& account, const std::string& target,
                               int inputDevice, int outputDevice) {
  PrepareAccount(*account);
  auto call = std::make_shared<TCall>(shared_from_this(), "", account);
  call->SetInputDevice(inputDevice);
  call->SetOutputDevice(outputDevice);
  call->SetTargetAddress(account->GetServer());
  call->SetIncoming(false);
  call->SetSilenceTimeout(silenceTimeout_);
  call->SetSilenceThreshold(silenceThreshold_);
  call->SetLocalRtpPort(NextRtpPort());
  call->SetRemoteUser(target);
  call->SetLocalCSeq(NextCSeq());
  std::string domain = account->GetDomain();
  call->SetRemoteUri(target.find('@') != std::string::npos ? "sip:" + target
                                                           : "sip:" + target + "@" + domain);
  call->SetLocalUri("sip:" + account->GetUserName() + "@" + domain);
  calls_.Add(call);
  TScopedLock<ISipCall> lock(*call);
  std::string text = BuildInvite(*call, CodecListText());
  call->SetState(csInviteSent);
  SendToServer(*account, text);
  return call;
}

void TSipEngine::Answer(const ISipCallPtr& call) {
  TScopedLock<ISipCall> lock(*call);
  SendToServer(*call->GetAccount(), BuildInviteOk(*call));
  call->SetState(csConnected);
  call->SetMediaActive(true);
}

void TSipEngine::Busy(const ISipCallPtr& call) {
  SendToServer(*call->GetAccount(), BuildInviteResponse(*call, "486 Busy here"));
}

void TSipEngine::HangUp(const ISipCallPtr& call) {
  TScopedLock<ISipCall> lock(*call);
  int state = call->GetState();
  if (state == csConnected || state == csHoldSent) {
    call->SetBranch(NewBranch());
    call->SetLocalCSeq(NextCSeq());
    SendToServer(*call->GetAccount(), BuildBye(*call));
  } else if (!call->GetIncoming()) {
    SendToServer(*call->GetAccount(), BuildCancel(*call));
    StopMedia(*call);
  }
  // An incoming call not yet answered: nothing to send (Busy rejects it).
}

void TSipEngine::DropCall(const ISipCallPtr& call) {
  bool hangUp;
  {
    TScopedLock<ISipCall> lock(*call);
    hangUp = call->GetMediaActive() && call->GetState() != csIdle;
  }
  if (hangUp) {
    HangUp(call);
    Pause100ms();
  }
  {
    TScopedLock<ISipCall> lock(*call);
    if (call->GetMediaActive()) {
      call->SetMediaActive(false);
      if (call->GetState() != csIdle) call->SetState(csIdle);
    }
  }
  calls_.Remove(call);
}

void TSipEngine::Hold(const ISipCallPtr& call) {
  TScopedLock<ISipCall> lock(*call);
  call->SetOnHold(true);
  call->SetMediaDirection("sendonly");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  call->SetState(csHoldSent);
  SendReInvite(call);
}

void TSipEngine::Unhold(const ISipCallPtr& call) {
  TScopedLock<ISipCall> lock(*call);
  call->SetOnHold(false);
  call->SetMediaDirection("sendrecv");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  SendReInvite(call);
  call->SetState(csConnected);
}

void TSipEngine::SendReInvite(const ISipCallPtr& call) {
  RequireActive();
  call->SetLocalCSeq(NextCSeq());
  // A call challenged once keeps answering the challenge on every re-INVITE.
  std::string text = call->GetAuthStatus().empty() ? BuildInvite(*call, CodecListText())
                                                   : BuildInviteAuth(*call, CodecListText());
  SendToServer(*call->GetAccount(), text);
}

void TSipEngine::Transfer(const ISipCallPtr& call, const std::string& target) {
  {
    TScopedLock<ISipCall> lock(*call);
    if (!call->GetIncoming() || call->GetState() != csRinging) {
      RequireActive();
      call->SetReferTarget(target);
      call->SetState(csReferSent);
      call->SetLocalCSeq(NextCSeq());
      SendToServer(*call->GetAccount(), BuildRefer(*call, target));
      return;
    }
    SendToServer(*call->GetAccount(), BuildRedirect(*call, target));
    call->SetState(csIdle);
  }
  // A redirected call is over: nothing else would take it off the list. Out
  // of the call's lock, since the list's lock comes first.
  calls_.Remove(call);
}

void TSipEngine::TransferWithCredentials(const ISipCallPtr& call) {
  TScopedLock<ISipCall> lock(*call);
  call->SetState(csReferAuthSent);
  RequireActive();
  call->SetLocalCSeq(NextCSeq());
  SendToServer(*call->GetAccount(), BuildReferAuth(*call, call->GetReferTarget()));
}

void TSipEngine::SendDtmfInfo(const ISipCallPtr& call, const std::string& digit) {
  TScopedLock<ISipCall> lock(*call);
  ISipCall::TInfoDtmf& info = call->InfoDtmf();
  info.waiting.push_back(digit);
  if (info.inFlightCSeq == 0) SendNextDtmfInfo(call);
}

// Under the call's lock.
void TSipEngine::SendNextDtmfInfo(const ISipCallPtr& call) {
  ISipCall::TInfoDtmf& info = call->InfoDtmf();
  info.inFlightCSeq = 0;
  if (info.waiting.empty()) return;
  std::string digit = std::move(info.waiting.front());
  info.waiting.pop_front();
  call->SetLocalCSeq(NextCSeq());
  info.inFlightCSeq = call->GetLocalCSeq();
  info.sentAt = Now();
  SendToServer(*call->GetAccount(), BuildInfoDtmf(*call, digit));
}

void TSipEngine::SendDtmfRfc2833(const ISipCallPtr& call, const std::string& digits) {
  TScopedLock<ISipCall> lock(*call);
  call->QueueDtmf(digits);
}

void TSipEngine::PlayWavFile(const ISipCallPtr& call, const std::string& fileName) {
  auto source = std::make_shared<TWavFile>(fileName);
  TScopedLock<ISipCall> lock(*call);
  call->SetWavSource(source);
}

void TSipEngine::PlayWavStream(const ISipCallPtr& call, std::istream& stream, int64_t size) {
  call->SetWavSource(std::make_shared<TWavStream>(stream, size));
}

ISipAccountPtr TSipEngine::FindAccountByCallId(const std::string& callId) {
  return accounts_.FindByCallId(callId);
}

ISipCallPtr TSipEngine::FindCallByCallId(const std::string& callId) {
  TScopedLock<TSipCalls> lock(calls_);
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    if (call->GetCallId() == callId) return call;
  }
  return nullptr;
}

void TSipEngine::DeactivateDialogs() {
  {
    TScopedLock<TSipCalls> lock(calls_);
    for (int i = 0; i < calls_.Count(); ++i) {
      ISipCallPtr call = calls_.Item(i);
      if (call->GetState() != csConnected) continue;
      try {
        HangUp(call);
      } catch (...) {
        // Going inactive must finish even when a farewell cannot be sent.
      }
      Pause100ms();
    }
  }
  {
    TScopedLock<TSipAccounts> lock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) {
      ISipAccountPtr account = accounts_.Item(i);
      if (account->GetState() != asRegistered) continue;
      try {
        Unregister(account);
      } catch (...) {
      }
      Pause100ms();
    }
  }
  accounts_.Clear();
  calls_.Clear();
}

// ---- responses to our INVITEs, and re-INVITEs from the peer ---------------

int TSipEngine::ChooseCodec(const TSipMessage& message) {
  std::lock_guard<std::mutex> guard(codecsLock_);
  for (int pt : codecs_)
    for (int offered : message.PayloadTypes)
      if (offered == pt) return pt;
  return -1;
}

void TSipEngine::ChooseCodecAgain(ISipCall& call, const TSipMessage& message) {
  if (message.PayloadTypes.empty()) return;
  int chosen = ChooseCodec(message);
  if (chosen < 0) {
    call.SetCodec(nullptr);  // no 488 for an existing call
    return;
  }
  IAudioCodecPtr codec = call.GetCodec();
  if (!codec || codec->GetPayloadType() != chosen) call.SetCodec(CreateCodec(chosen));
}

void TSipEngine::HandleInviteMessage(const ISipCallPtr& call, const TSipMessage& m) {
  TScopedLock<ISipCall> lock(*call);
  ISipAccount& account = *call->GetAccount();
  const int status = ToIntDef(m.StatusCode, 0);
  const int cseq = ToIntDef(m.CSeqNumber, -1);
  const int state = call->GetState();
  call->SetLastResponseCode(status);

  if (status == 401 || status == 403 || status == 407) {
    SendToServer(account, BuildAckFromResponse(m));
    bool ours = call->GetLocalCSeq() == cseq;
    if (ours) call->SetRouteSet(m);
    if ((state == csInviteSent || state == csHoldSent) && status != 403 && ours) {
      KeepChallenge(*call, m);
      call->SetState(csInviteAuthSent);
      call->SetBranch(NewBranch());
      SendReInvite(call);
    } else if (ours) {
      StopMedia(*call);
      call->SetState(csIdle);
      call->SetEndStatus(m.StatusCode);
      DropCall(call);
    }
    return;
  }

  if (m.StatusCode.empty()) {  // a re-INVITE from the peer
    if (state != csConnected) return;
    call->SetViaHeaders(m.ViaHeaders);
    // A proxy record-routes only the request that made the dialog; a re-INVITE
    // without Record-Route lines must not wipe the route set, or our later
    // INFO and BYE would bypass the proxy.
    if (m.RecordRouteCount() > 0) call->SetRouteSet(m);
    call->SetRemoteTarget(m.ContactUri);
    call->SetLocalCSeq(ToIntDef(m.CSeqNumber, 0));
    call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
    call->SetFromHeader(m.FromHeader);
    call->SetToHeader("To: <" + m.ToUri + ">");
    call->SetRemoteRtpPort(ToIntDef(m.SdpAudioPort, 0));
    call->SetRemoteRtpAddress(m.SdpAddress);
    ChooseCodecAgain(*call, m);
    if (call->GetRemoteRtpPort() != 0) StartMedia(*call);
    call->SetSdpVersion(call->GetSdpVersion() + 1);
    SendToServer(account, BuildInviteOk(*call));
    return;
  }

  if (status == 100) {
    if (state == csInviteSent || state == csInviteAuthSent) call->SetViaHeaders(m.ViaHeaders);
    return;
  }

  if (status == 180 || status == 183) {
    if (!IsOneOf(state, {csInviteSent, csInviteAuthSent, csRinging})) return;
    call->SetState(csRinging);
    call->SetViaHeaders(m.ViaHeaders);
    call->SetRouteSet(m);
    call->SetRemoteTarget(m.ContactUri);
    call->SetLocalCSeq(ToIntDef(m.CSeqNumber, 1));
    call->SetRemoteCSeq(0);
    call->SetRemoteTag(m.ToTag);
    call->SetRemoteUri(m.ToUri);
    call->SetRemoteRtpPort(ToIntDef(m.SdpAudioPort, 0));
    call->SetRemoteRtpAddress(m.SdpAddress);
    ChooseCodecAgain(*call, m);
    if (call->GetRemoteRtpPort() != 0) StartMedia(*call);  // early media
    if (status == 180) Post(MsgRingback, 0, call);
    return;
  }

  if (status == 200) {
    if (!IsOneOf(state, {csInviteSent, csInviteAuthSent, csRinging, csConnected, csHoldSent})) return;
    ChooseCodecAgain(*call, m);
    if (call->GetRemoteTag().empty()) call->SetRemoteTag(call->GetIncoming() ? m.FromTag : m.ToTag);
    if (state != csHoldSent) call->SetState(csConnected);
    call->SetViaHeaders(m.ViaHeaders);
    if (m.RecordRouteCount() > 0) call->SetRouteSet(m);
    call->SetViaHost(m.ViaHost);
    call->SetViaPort(m.ViaPort);
    call->SetRemoteTarget(m.ContactUri);
    if (m.ContactHost != account.GetDomain() && m.ContactHost != account.GetServer()) {
      std::string address = ResolveHostOrEmpty(m.ContactHost);
      call->SetTargetAddress(address.empty() ? account.GetServer() : address);
      if (!address.empty()) call->SetTargetPort(m.ContactPort);
    }
    int sdpPort = ToIntDef(m.SdpAudioPort, -1);
    bool same = call->GetRemoteRtpPort() == sdpPort && call->GetRemoteRtpAddress() == m.SdpAddress;
    if (!same && call->GetRemoteRtpAddress() != "0.0.0.0" && !m.SdpAddress.empty() &&
        m.SdpAddress != "0.0.0.0" && sdpPort > 0) {
      call->SetRemoteRtpPort(sdpPort);
      call->SetRemoteRtpAddress(m.SdpAddress);
      StopMedia(*call);
      call->SetMediaActive(true);
    }
    SendToServer(account, BuildAck(*call, m));
    Post(MsgCallAnswered, 0, call);
    return;
  }

  if (m.StatusCode.size() == 3 && m.StatusCode[0] > '2' && state != csConnected) {
    SendToServer(account, BuildAckFromResponse(m));
    StopMedia(*call);
    call->SetState(csIdle);
    call->SetEndStatus(m.StatusCode);
    DropCall(call);
    return;
  }
  if (m.StatusCode[0] != '1') SendToServer(account, BuildAckFromResponse(m));
}

}  // namespace qv
