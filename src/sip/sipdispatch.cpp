// Dispatch of every received datagram: incoming requests, the responses to
// REGISTER, MESSAGE, REFER, CANCEL and BYE, the STUN answer of a
// registration, and the periodic Tick with its time-outs. Transport thread,
// one datagram at a time (Tick: the consumer's thread).
#include <exception>
#include <functional>

#include "dialogs/call.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "media/codecs.h"
#include "platform/clock.h"
#include "sip/engineutil.h"
#include "sip/iputils.h"
#include "sip/sip.h"
#include "sip/sipmessage.h"

namespace qv {

namespace {

bool IsChallenge(const std::string& status) {
  return status == "401" || status == "403" || status == "407";
}

// A final failure: first digit above 2, or no digit at all.
bool IsFinalFailure(const std::string& status) {
  return !status.empty() && !(status[0] >= '0' && status[0] <= '2');
}

bool IsStatusLine(const std::string& datagram) { return datagram.compare(0, 8, "SIP/2.0 ") == 0; }

std::string DtmfDigitOfSignal(const std::string& signal) {
  static const char* const kNamed[] = {"*", "#", "A", "B", "C", "D"};
  int value = ToIntDef(signal, -1);
  if (signal.size() == 2 && value >= 10 && value <= 15) return kNamed[value - 10];
  return signal;
}

uint16_t Be16(const std::string& d, size_t i) {
  return uint16_t((uint8_t(d[i]) << 8) | uint8_t(d[i + 1]));
}

std::string Dotted(const std::string& d, size_t i, uint8_t mask0 = 0, uint8_t mask1 = 0,
                   uint8_t mask2 = 0, uint8_t mask3 = 0) {
  char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", uint8_t(d[i]) ^ mask0, uint8_t(d[i + 1]) ^ mask1,
           uint8_t(d[i + 2]) ^ mask2, uint8_t(d[i + 3]) ^ mask3);
  return text;
}

// The public address in a binding response. Classic servers put
// MAPPED-ADDRESS first; RFC 5389 servers may put XOR-MAPPED-ADDRESS before it
// or send only that, so every attribute inside the datagram is looked at.
std::string MappedAddress(const std::string& d) {
  std::string xorMapped;
  size_t i = 20;
  while (i + 4 <= d.size()) {
    uint16_t type = Be16(d, i);
    uint16_t length = Be16(d, i + 2);
    size_t value = i + 4;
    if (value + length > d.size()) break;
    bool ipv4 = length >= 8 && uint8_t(d[value + 1]) == 0x01;
    if (type == 0x0001 && ipv4) return Dotted(d, value + 4);
    if (type == 0x0020 && ipv4 && xorMapped.empty())
      xorMapped = Dotted(d, value + 4, 0x21, 0x12, 0xA4, 0x42);  // the magic cookie
    i = value + ((length + 3u) & ~3u);
  }
  return xorMapped;
}

}  // namespace

void TSipEngine::Dispatch(const TSipMessage& m) {
  const std::string& method = m.CSeqMethod;
  if (method.empty()) {
    if (m.RawText.size() >= 2 && m.RawText[0] == '\x01' && m.RawText[1] == '\x01')
      HandleStunAnswer(m.RawText);
  } else if (method == "CANCEL") {
    HandleCancel(m);
  } else if (method == "REFER") {
    HandleRefer(m);
  } else if (method == "INVITE") {
    HandleInvite(m);
  } else if (method == "BYE") {
    HandleBye(m);
  } else if (method == "INFO") {
    HandleInfo(m);
  } else if (method == "OPTIONS") {
    HandleOptions(m);
  } else if (method == "MESSAGE") {
    HandleMessage(m);
  } else if (method == "NOTIFY") {
    HandleNotify(m);
  } else if (method == "REGISTER") {
    HandleRegisterResponse(m);
  }
}

void TSipEngine::HandleStunAnswer(const std::string& d) {
  if (d.size() < 20) return;
  ISipAccountPtr account = FindAccountByCallId(d.substr(4, 16));
  if (!account) return;
  // Under the account's lock, so that Tick's 3-second fallback and this
  // answer cannot both register.
  TScopedLock<ISipAccount> lock(*account);
  if (account->GetState() != asStunSent) return;
  std::string address = MappedAddress(d);
  if (!address.empty()) account->SetPublicAddress(address);
  Register(account);  // with or without a public address
}

void TSipEngine::HandleCancel(const TSipMessage& m) {
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call) return;
  if (m.StatusCode == "200") {
    call->SetState(csIdle);
    return;
  }
  if (m.IsResponse()) return;
  ISipAccount& account = *call->GetAccount();
  int state = call->GetState();
  if (state == csConnected || state == csHoldSent || state == csReferSent || state == csReferAuthSent) {
    // RFC 3261 9.2: a CANCEL that crossed our 200 finds nothing left to
    // cancel. The call goes on; the caller ends it with BYE if it wants.
    SendToServer(account, BuildResponse(m, "200 OK"));
    return;
  }
  call->SetState(csIdle);
  call->SetEndStatus(m.StatusCode);
  DropCall(call);
  StopMedia(*call);
  SendToServer(account, BuildResponse(m, "200 OK"));
  SendToServer(account, BuildInviteResponse(*call, "487 Request terminated"));
}

// A call we cancelled ends on the 200 to the CANCEL (or at its time-out) and
// stays listed until its INVITE's final response, which still needs an ACK,
// or the peer repeats it for half a minute. A 2xx that crossed the CANCEL
// made a dialog at the far end: acknowledged, then ended by BYE (RFC 3261 9.1).
void TSipEngine::FinishCancelledCall(const ISipCallPtr& call, const TSipMessage& m) {
  if (m.StatusCode[0] == '1') return;
  TScopedLock<ISipCall> lock(*call);
  ISipAccount& account = *call->GetAccount();
  if (m.StatusCode[0] == '2') {
    call->SetRemoteTag(m.ToTag);
    call->SetRemoteTarget(m.ContactUri);
    if (m.RecordRouteCount() > 0) call->SetRouteSet(m);
    SendToServer(account, BuildAck(*call, m));
    call->SetBranch(NewBranch());
    call->SetLocalCSeq(NextCSeq());
    SendToServer(account, BuildBye(*call));
  } else {
    SendToServer(account, BuildAckFromResponse(m));
  }
  calls_.Remove(call);  // the list's lock is held by HandleInvite, taken first
}

void TSipEngine::HandleRefer(const TSipMessage& m) {
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call || !IsChallenge(m.StatusCode)) return;
  if (call->GetLocalCSeq() == ToIntDef(m.CSeqNumber, -1)) call->SetRouteSet(m);
  if (call->GetState() != csReferSent) {
    call->SetState(csConnected);
    return;
  }
  KeepChallenge(*call, m);
  call->SetState(csInviteAuthSent);
  call->SetBranch(NewBranch());
  TransferWithCredentials(call);
}

void TSipEngine::HandleInvite(const TSipMessage& m) {
  TScopedLock<TSipCalls> listLock(calls_);
  if (ISipCallPtr call = FindCallByCallId(m.CallId)) {
    int state = call->GetState();
    if (state == csInviteSent || state == csInviteAuthSent || state == csRinging ||
        state == csConnected || state == csHoldSent) {
      HandleInviteMessage(call, m);
    } else if (state == csIdle && m.IsResponse() && !call->GetIncoming()) {
      FinishCancelledCall(call, m);
    }
    return;
  }
  if (m.RequestUser.empty()) return;  // responses have no Request-URI user
  ISipAccountPtr account = RequestAccount();
  if (!account) return;

  int chosen = m.PayloadTypes.empty() ? (CodecCount() > 0 ? CodecAt(0) : -1) : ChooseCodec(m);
  if (chosen < 0) {
    SendToServer(*account, BuildNotAcceptable(m));
    return;
  }

  auto call = std::make_shared<TCall>(shared_from_this(), m.CallId, account);
  {
    TScopedLock<ISipCall> lock(*call);
    call->SetTargetAddress(account->GetServer());
    call->SetLocalRtpPort(NextRtpPort());
    call->SetRemoteRtpAddress(m.SdpAddress);
    call->SetRemoteRtpPort(ToIntDef(m.SdpAudioPort, 0));
    call->SetSilenceTimeout(silenceTimeout_);
    call->SetSilenceThreshold(silenceThreshold_);
    call->SetFromHeader(m.FromHeader);
    call->SetToHeader(m.ToHeader);
    call->SetLocalUri(m.ToUri);
    call->SetRemoteUri(m.FromUri);
    call->SetRemoteTag(m.FromTag);
    call->SetCodec(CreateCodec(chosen));
    call->SetSpeakerEnabled(true);
    call->SetMicrophoneEnabled(true);
    call->SetIncoming(true);
    call->SetViaHeaders(m.ViaHeaders);
    call->SetViaHost(m.ViaHost);
    call->SetViaPort(m.ViaPort);
    call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
    call->SetLocalCSeq(NextCSeq());
    call->SetRouteSet(m);
    call->SetRemoteTarget(m.ContactUri);
    call->SetRemoteUser(m.FromUser);
    call->SetToHostPart(m.ToHostPart);
    call->SetTargetAddress(ResolveHost(m.ContactHost));
    call->SetTargetPort(m.ContactPort);
  }
  calls_.Add(call);
  try {
    SendByVia(m, *account, BuildResponse(m, "100 Trying"));
    call->SetFromHeader(m.FromHeader);
    call->SetToHeader(m.ToHeader);
    SendByVia(m, *account, BuildResponse(m, "180 Ringing"));
  } catch (...) {
    // Nobody can reach the caller: no call is announced, none is left behind.
    calls_.Remove(call);
    throw;
  }
  if (window_) {
    Post(MsgIncomingCall, 0, call);
  } else {
    // Nobody can answer: refuse, and let go of a call nothing will ever end.
    Busy(call);
    calls_.Remove(call);
  }
}

void TSipEngine::HandleBye(const TSipMessage& m) {
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call) return;
  // A BYE whose 200 cannot be sent still ends the call: the peer has gone.
  EndAfter(call, m.StatusCode, [&] {
    TScopedLock<ISipCall> lock(*call);
    call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
    if (!m.ViaHeaders.empty()) call->SetViaHeaders(m.ViaHeaders);
    call->SetState(csIdle);
    if (!m.IsResponse()) SendByVia(m, *call->GetAccount(), BuildResponse(m, "200 OK"));
  });
}

void TSipEngine::EndAfter(const ISipCallPtr& call, const std::string& status,
                          const std::function<void()>& step) {
  std::exception_ptr raised;
  try {
    step();
  } catch (...) {
    raised = std::current_exception();
  }
  call->SetState(csIdle);
  call->SetEndStatus(status);
  DropCall(call);
  if (raised) std::rethrow_exception(raised);
}

void TSipEngine::HandleInfo(const TSipMessage& m) {
  if (m.IsResponse()) {
    // The final answer to our INFO lets the next waiting digit go.
    if (m.StatusCode.empty() || m.StatusCode[0] == '1') return;
    ISipCallPtr call = FindCallByCallId(m.CallId);
    if (!call) return;
    TScopedLock<ISipCall> lock(*call);
    if (ToIntDef(m.CSeqNumber, -1) == call->InfoDtmf().inFlightCSeq) SendNextDtmfInfo(call);
    return;
  }
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call || call->GetAccount()->GetState() != asRegistered) return;
  TScopedLock<ISipCall> lock(*call);
  call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
  SendToServer(*call->GetAccount(), BuildOk(m));
  std::string digit = DtmfDigitOfSignal(m.DtmfSignal);
  if (digit.size() == 1) Post(MsgDtmf, uintptr_t(uint8_t(digit[0])), call);
}

void TSipEngine::HandleOptions(const TSipMessage& m) {
  if (IsStatusLine(m.RawText)) return;  // we send no OPTIONS: an answer to one is nobody's
  if (ISipAccountPtr account = RequestAccount()) SendToServer(*account, BuildOptionsOk(m));
}

void TSipEngine::HandleMessage(const TSipMessage& m) {
  if (!m.IsResponse()) {
    if (m.RequestUser.empty()) return;
    if (ISipAccountPtr account = RequestAccount()) SendToServer(*account, BuildOk(m));
    return;
  }
  ISipAccountPtr account = RequestAccount();
  if (!account) return;
  if (m.StatusCode == "401" || m.StatusCode == "407") {
    if (!account->GetMessageText().empty()) SendMessageWithCredentials(m, account, m.ToUser);
  } else {
    TScopedLock<ISipAccount> lock(*account);
    account->SetMessageText("");
  }
}

// A NOTIFY of a transfer carries a "SIP/2.0 ..." status line in its body,
// which the parser takes for a status code: it is handled whatever that says.
// Only the first line tells a request from a response, and we never send a
// NOTIFY, so a response to one is nobody's.
void TSipEngine::HandleNotify(const TSipMessage& m) {
  if (IsStatusLine(m.RawText)) return;
  ISipAccountPtr account = RequestAccount();
  if (!account) return;
  SendToServer(*account, BuildResponse(m, "200 OK"));
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call) return;
  int state = call->GetState();
  if (state != csReferSent && state != csReferAuthSent) return;
  // The transfer is under way: our part of the call ends with a BYE. The
  // call ends even when that BYE cannot be sent.
  call->SetState(csConnected);
  EndAfter(call, m.StatusCode, [&] { HangUp(call); });
}

void TSipEngine::HandleRegisterResponse(const TSipMessage& m) {
  if (!m.IsResponse()) return;
  ISipAccountPtr account = FindAccountByCallId(m.CallId);
  if (!account) return;
  const std::string& status = m.StatusCode;
  bool challenge = status == "401" || status == "407";
  TScopedLock<ISipAccount> lock(*account);
  auto takeChallenge = [&] {
    KeepChallenge(*account, m);
    account->SetRport(m.ViaRport);
    account->SetLocalTag(NewTag());
  };
  // Every way back to "not registered" is reported, so that a refused
  // password or a refused un-registration never leaves the user waiting.
  auto ended = [&] {
    account->SetState(asIdle);
    Post(MsgRegistrationEnded, 0, account);
  };
  auto registered = [&] {
    account->SetState(asRegistered);
    account->SetRemoteTag(m.ToTag);
    Post(MsgRegistered, 0, account);
  };
  switch (account->GetState()) {
    case asRegisterSent:
      if (status == "200") {
        registered();
      } else if (challenge) {
        account->SetState(asRegisterAuthSent);
        takeChallenge();
        RegisterWithCredentials(account, account->GetExpires());
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case asRegisterAuthSent:
      if (status == "200") {
        registered();
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case asUnregisterSent:
      if (status == "200") {
        ended();
      } else if (challenge) {
        takeChallenge();
        account->SetState(asUnregisterAuthSent);
        RegisterWithCredentials(account, 0);
      } else if (IsFinalFailure(status)) {
        ended();
      }
      break;
    case asUnregisterAuthSent:
      if (status == "200" || IsFinalFailure(status)) ended();
      break;
    default:
      break;
  }
}

void TSipEngine::Tick() {
  const double now = Now();
  {
    TScopedLock<TSipAccounts> listLock(accounts_);
    for (int i = 0; i < accounts_.Count(); ++i) {
      ISipAccountPtr account = accounts_.Item(i);
      TScopedLock<ISipAccount> lock(*account);
      double elapsed = (now - account->GetStateTime()) / kOneSecond;
      try {
        switch (account->GetState()) {
          case asStunSent:
            if (elapsed > 3) Register(account);  // the STUN answer did not come
            break;
          case asRegisterSent:
          case asRegisterAuthSent:
          case asUnregisterSent:
          case asUnregisterAuthSent:  // a lost answer would leave it there for good
            if (elapsed > 20) {
              account->SetState(asIdle);
              Post(MsgRegistrationEnded, 0, account);
            }
            break;
          case asRegistered:
            if (elapsed > 600) Register(account);  // refresh
            break;
          default:
            break;
        }
      } catch (...) {
        // One account's failed send must not stop the others' time-outs.
      }
    }
  }
  TScopedLock<TSipCalls> listLock(calls_);
  std::vector<ISipCallPtr> expired, ended;
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    {
      // Nothing is retransmitted: an INFO or its answer that was lost must
      // not hold back the digits after it for good.
      TScopedLock<ISipCall> lock(*call);
      ISipCall::TInfoDtmf& info = call->InfoDtmf();
      if (info.inFlightCSeq != 0 && (now - info.sentAt) / kOneSecond > 2) {
        try {
          SendNextDtmfInfo(call);
        } catch (...) {
          // As with the accounts: the other calls' time-outs still run.
        }
      }
    }
    int state = call->GetState();
    if ((now - call->GetStartTime()) / kOneSecond <= 120) continue;
    if (state == csInviteSent || state == csInviteAuthSent || state == csRinging) expired.push_back(call);
    // Ended but still listed: a CANCEL whose 487 never came, or an incoming
    // call nobody offered. Nothing will ever remove them otherwise.
    if (state == csIdle) ended.push_back(call);
  }
  for (const ISipCallPtr& call : expired) {
    // An outgoing call still rings at the far end: CANCEL it there. It stays
    // listed (ended) until its 487 is acknowledged, or the next sweep.
    bool outgoing = !call->GetIncoming();
    if (outgoing) {
      try {
        HangUp(call);
      } catch (...) {
      }
    }
    call->SetState(csIdle);
    call->SetEndStatus("408");
    if (!outgoing) DropCall(call);
  }
  for (const ISipCallPtr& call : ended) DropCall(call);
}

}  // namespace qv
