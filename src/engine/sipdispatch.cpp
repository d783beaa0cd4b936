// Dispatch of every received datagram: incoming requests and the responses
// to CANCEL, REFER, BYE and INFO; INVITE responses go on to sipcallcontrol,
// REGISTER and MESSAGE responses to sipaccounts, STUN answers to sipstun.
// Transport thread, one datagram at a time.
#include <exception>
#include <functional>

#include "dialogs/call.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "engine/srtpcalls.h"
#include "media/codecs.h"
#include "platform/clock.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"
#include "sip/stun.h"
#include "sip/via.h"

namespace qv {

namespace {

std::string DtmfDigitOfSignal(const std::string& signal) {
  static const char* const kNamed[] = {"*", "#", "A", "B", "C", "D"};
  int value = ToIntDef(signal, -1);
  if (signal.size() == 2 && value >= 10 && value <= 15) return kNamed[value - 10];
  return signal;
}

}  // namespace

void TSipEngine::Dispatch(const TSipMessage& m) {
  const std::string& method = m.CSeqMethod;
  if (method.empty()) {
    if (IsStunAnswer(m.RawText)) HandleStunAnswer(m.RawText);
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

void TSipEngine::HandleCancel(const TSipMessage& m) {
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (m.IsResponse()) {
    if (call && m.StatusCode == "200") call->SetState(TCallState::Idle);
    return;
  }
  if (!call) {
    if (RequestAccount()) SendResponse(BuildResponse(m, "481 Call/Transaction Does Not Exist"));
    return;
  }
  {
    // Decided under the call's lock, against an Answer on the user's thread.
    TLockGuard<ISipCall> lock(*call);
    if (!CancelMatches(*call, m)) {
      // Not the transaction of the INVITE that made the call: someone who
      // only knows the Call-ID cannot end it (RFC 3261 9.2).
      SendResponse(BuildResponse(m, "481 Call/Transaction Does Not Exist"));
      return;
    }
    if (call->Dialog().confirmed || call->Dialog().ended) {
      // RFC 3261 9.2: a CANCEL that crossed our 200 finds nothing left to
      // cancel. The call goes on; the caller ends it with BYE if it wants.
      SendResponse(BuildResponse(m, "200 OK"));
      return;
    }
    call->Dialog().ended = true;
    call->SetState(TCallState::Idle);
    call->SetEndStatus(m.StatusCode);
    StopMedia(*call);
    SendResponse(BuildResponse(m, "200 OK"));
    SendResponse(BuildInviteResponse(*call, "487 Request terminated"));
  }
  DropCall(call);
}

// A call we cancelled ends on the 200 to the CANCEL (or at its time-out) and
// stays listed until its INVITE's final response (which the transaction
// acknowledges), or the peer repeats it for half a minute. A 2xx that crossed
// the CANCEL made a dialog at the far end: acknowledged, then ended by BYE
// (RFC 3261 9.1).
void TSipEngine::FinishCancelledCall(const ISipCallPtr& call, const TSipMessage& m) {
  if (m.StatusCode[0] == '1') return;
  TLockGuard<ISipCall> lock(*call);
  if (m.StatusCode[0] == '2') {
    call->SetRemoteTag(m.ToTag);
    call->SetRemoteTarget(m.ContactUri);
    if (m.RecordRouteCount() > 0) call->SetRouteSet(m);
    SendInDialog(*call, BuildAck(*call, m));
    call->SetBranch(NewBranch());
    call->SetLocalCSeq(NextCSeq());
    SendInDialog(*call, BuildBye(*call));
  }
  calls_.Remove(call);  // the list's lock is held by HandleInvite, taken first
}

// The answers to our REFER. A challenge is answered once, keeping the route
// set the dialog made (the proxy that challenges keeps no dialog); any other
// refusal, and a second challenge, give the call back as it was, so that
// hanging up still sends BYE.
void TSipEngine::HandleRefer(const TSipMessage& m) {
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!m.IsResponse()) {
    // A REFER of the peer is not taken up; one from outside the dialog is told so.
    if (!call) {
      NoSuchDialog(m);
      return;
    }
    TLockGuard<ISipCall> lock(*call);
    AcceptInDialog(call, m);
    return;
  }
  if (!call) return;
  TLockGuard<ISipCall> lock(*call);
  TCallState state = call->State();
  if (state != TCallState::ReferSent && state != TCallState::ReferAuthSent) return;
  if (call->GetLocalCSeq() != ToIntDef(m.CSeqNumber, -1)) return;  // an earlier REFER's
  const int status = ToIntDef(m.StatusCode, 0);
  if (status < 300) return;  // 202: the NOTIFYs tell the rest
  if (IsChallenge(m.StatusCode) && status != 403 && state == TCallState::ReferSent &&
      RealmAllowed(*call->GetAccount(), m, false)) {
    call->SetChallenge(m.Challenge());
    call->SetState(TCallState::InviteAuthSent);
    call->SetBranch(NewBranch());
    TransferWithCredentials(call);
    return;
  }
  call->SetState(TCallState::Connected);
}

void TSipEngine::HandleInvite(const TSipMessage& m) {
  TLockGuard<TSipCalls> listLock(calls_);
  if (ISipCallPtr call = FindCallByCallId(m.CallId)) {
    if (!m.IsResponse()) {
      // A re-INVITE must belong to the dialog before anything moves. Without
      // a To tag, before the 2xx, it is a repeat of the INVITE: let be.
      TLockGuard<ISipCall> lock(*call);
      if ((!m.ToTag.empty() || call->Dialog().confirmed) && !AcceptInDialog(call, m)) return;
    }
    TCallState state = call->State();
    bool confirmed;
    {
      TLockGuard<ISipCall> lock(*call);
      confirmed = call->Dialog().confirmed;
    }
    if (state == TCallState::InviteSent || state == TCallState::InviteAuthSent || state == TCallState::Ringing ||
        state == TCallState::Connected || state == TCallState::HoldSent || (confirmed && m.IsResponse())) {
      HandleInviteMessage(call, m);
    } else if (state == TCallState::Idle && m.IsResponse() && !call->GetIncoming()) {
      FinishCancelledCall(call, m);
    }
    return;
  }
  if (m.IsResponse()) return;  // an answer to an INVITE we do not know
  if (!m.ToTag.empty()) {
    NoSuchDialog(m);  // a re-INVITE of a dialog that is not ours
    return;
  }
  ISipAccountPtr account = m.RequestUser.empty() ? nullptr : RequestAccount();
  if (!account) {
    transactions_->Forget(m);  // ignored, and nothing kept for it either
    return;
  }
  if (!AdmitNewInvite(m, *account)) return;

  int chosen = m.PayloadTypes.empty() ? (CodecCount() > 0 ? CodecAt(0) : -1) : ChooseCodec(m);
  // 488 also for an offer the account's SRTP mode cannot take: RTP/SAVP
  // without SRTP, or plain RTP when SRTP is mandatory.
  TCallSrtp srtp;
  if (chosen < 0 || !ReadSrtpOffer(m, *account, srtp)) {
    SendResponse(BuildNotAcceptable(m));
    return;
  }

  auto call = std::make_shared<TCall>(shared_from_this(), m.CallId, account);
  {
    TLockGuard<ISipCall> lock(*call);
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
    SetCallCodec(*call, m, chosen, false);
    call->SetSrtp(srtp);
    call->SetSpeakerEnabled(true);
    call->SetMicrophoneEnabled(true);
    call->SetIncoming(true);
    call->SetViaHeaders(m.ViaHeaders);
    call->SetViaHost(m.ViaHost);
    call->SetViaPort(m.ViaPort);
    call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
    call->Dialog().inviteCSeq = ToIntDef(m.CSeqNumber, -1);
    call->Dialog().inviteBranch = ParseTopVia(m.ViaHeaders).Branch;
    call->SetLocalCSeq(NextCSeq());
    call->SetRouteSet(m);
    call->SetRemoteTarget(m.ContactUri);
    call->SetRemoteUser(m.FromUser);
    call->SetToHostPart(m.ToHostPart);
    // The Contact's host as written: no name is looked up on this thread,
    // and nothing sends to it (requests follow the route set to the server).
    call->SetTargetPort(m.ContactPort);
    call->Dialog().startMs = NowMs();
  }
  calls_.Add(call);
  try {
    SendResponse(BuildResponse(m, "100 Trying"));
    call->SetFromHeader(m.FromHeader);
    call->SetToHeader(m.ToHeader);
    SendResponse(BuildResponse(m, "180 Ringing"));
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
  if (m.IsResponse() && m.StatusCode[0] == '1') return;  // our BYE goes on: its final answer ends the call
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call) {
    if (!m.IsResponse()) NoSuchDialog(m);
    return;
  }
  if (!m.IsResponse()) {
    TLockGuard<ISipCall> lock(*call);
    if (!AcceptInDialog(call, m)) return;
  }
  // A call we ended for a reason (a missing ACK, a failed re-INVITE) keeps
  // it when the answer to our BYE, or the peer's own BYE, comes after.
  std::string status = m.StatusCode;
  if (!call->GetEndStatus().empty()) status = call->GetEndStatus();
  // A BYE whose 200 cannot be sent still ends the call: the peer has gone.
  EndAfter(call, status, [&] {
    TLockGuard<ISipCall> lock(*call);
    call->Dialog().ended = true;
    call->SetRemoteCSeq(ToIntDef(m.CSeqNumber, 0));
    if (!m.ViaHeaders.empty()) call->SetViaHeaders(m.ViaHeaders);
    call->SetState(TCallState::Idle);
    if (!m.IsResponse()) SendResponse(BuildResponse(m, "200 OK"));
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
  call->SetState(TCallState::Idle);
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
    TLockGuard<ISipCall> lock(*call);
    if (ToIntDef(m.CSeqNumber, -1) == call->InfoDtmf().inFlightCSeq) SendNextDtmfInfo(call);
    return;
  }
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call) {
    NoSuchDialog(m);
    return;
  }
  TLockGuard<ISipCall> lock(*call);
  if (!AcceptInDialog(call, m)) return;  // no digit from outside the dialog
  if (call->GetAccount()->State() != TAccountState::Registered) return;
  SendResponse(BuildOk(m));
  std::string digit = DtmfDigitOfSignal(m.DtmfSignal);
  if (digit.size() == 1) NotifyDtmf(call, digit);
}

void TSipEngine::HandleOptions(const TSipMessage& m) {
  if (m.IsResponse()) return;  // we send no OPTIONS: an answer to one is nobody's
  if (RequestAccount()) SendResponse(BuildOptionsOk(m));
}

// A NOTIFY of a transfer tells in its sipfrag body how the transferee's call
// goes: still trying (1xx), made (2xx: our part ends with BYE) or failed (the
// call is ours again). A NOTIFY without a sipfrag status ends our part as
// one that says the call was made.
void TSipEngine::HandleNotify(const TSipMessage& m) {
  if (m.IsResponse()) return;  // we never send a NOTIFY: an answer to one is nobody's
  if (!RequestAccount()) return;
  ISipCallPtr call = FindCallByCallId(m.CallId);
  if (!call && !m.ToTag.empty()) {
    NoSuchDialog(m);
    return;
  }
  if (call) {
    TLockGuard<ISipCall> lock(*call);
    if (!AcceptInDialog(call, m)) return;  // a third party cannot end a transfer
  }
  // Out of any dialog (a message-waiting NOTIFY): acknowledged, nothing more.
  SendResponse(BuildResponse(m, "200 OK"));
  if (!call) return;
  TCallState state = call->State();
  if (state != TCallState::ReferSent && state != TCallState::ReferAuthSent) return;
  const std::string& frag = m.SipfragStatus;
  if (!frag.empty() && frag[0] == '1') return;
  if (!frag.empty() && frag[0] != '2') {
    call->SetState(TCallState::Connected);
    return;
  }
  // The transfer is made: our part of the call ends with a BYE. The call
  // ends even when that BYE cannot be sent.
  call->SetState(TCallState::Connected);
  EndAfter(call, frag, [&] { HangUp(call); });
}

}  // namespace qv
