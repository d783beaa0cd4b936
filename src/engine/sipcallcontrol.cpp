// The user's operations on calls, and the handling of responses to our
// INVITEs and of re-INVITEs on established calls.

#include "dialogs/call.h"
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "engine/engineutil.h"
#include "engine/sipengine.h"
#include "engine/srtpcalls.h"
#include "media/codecs.h"
#include "media/wavfiles.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/lockguard.h"
#include "platform/textutil.h"
#include "sip/iputils.h"
#include "sip/sipmessage.h"
#include "sip/siptext.h"

namespace qv {

void TSipEngine::StartMedia(ISipCall& call) {
  if (!call.GetMediaActive()) call.SetMediaActive(true);
}

void TSipEngine::StopMedia(ISipCall& call) {
  if (call.GetMediaActive()) call.SetMediaActive(false);
}

ISipCallPtr TSipEngine::Invite(const ISipAccountPtr& account, const std::string& target,
                               int inputDevice, int outputDevice) {
  RequireSipText("number", target, TSipText::Target);
  EnsureServer(*account);
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
  size_t at = target.find('@');
  call->SetRemoteUri(at != std::string::npos ? "sip:" + UriUser(target.substr(0, at)) + target.substr(at)
                                             : "sip:" + UriUser(target) + "@" + domain);
  call->SetLocalUri("sip:" + account->GetUserName() + "@" + domain);
  PrepareSrtpOffer(*call, *account);  // a call the account cannot secure is never listed
  call->Dialog().startMs = NowMs();
  calls_.Add(call);
  TLockGuard<ISipCall> lock(*call);
  std::string text = BuildInvite(*call, CodecListText());
  call->SetState(TCallState::InviteSent);
  SendRequest(*account, text);
  return call;
}

// Decided under the call's lock: a CANCEL handled on the transport thread
// meanwhile has either ended the call (nothing to answer) or found it
// answered (the CANCEL is too late, RFC 3261 9.2).
void TSipEngine::Answer(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  TCallState state = call->State();
  if (call->Dialog().ended || (state != TCallState::Ringing && state != TCallState::Idle)) return;
  SendResponse(BuildInviteOk(*call));
  call->Dialog().confirmed = true;
  call->SetState(TCallState::Connected);
  call->SetMediaActive(true);
}

void TSipEngine::Busy(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  if (call->Dialog().confirmed) return;  // answered already: a 486 would come too late
  call->Dialog().ended = true;
  SendResponse(BuildInviteResponse(*call, "486 Busy here"));
}

// The user hangs up: microphone, speaker and RTP stop at once and the call
// ends for the application (state 0) now; the BYE or CANCEL is the
// transaction's to deliver. The call stays listed until its answer, or
// until the transaction gives up, to answer what the peer still sends.
void TSipEngine::HangUp(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  ISipCall::TDialogState& dialog = call->Dialog();
  if (dialog.ended) return;  // a BYE or CANCEL is out already
  if (dialog.confirmed) {
    call->SetBranch(NewBranch());
    call->SetLocalCSeq(NextCSeq());
    SendInDialog(*call, BuildBye(*call));
  } else if (!call->GetIncoming() && call->State() != TCallState::Idle) {
    SendRequest(*call->GetAccount(), BuildCancel(*call));
  } else {
    return;  // an incoming call not yet answered: nothing to send (Busy rejects it)
  }
  dialog.ended = true;
  dialog.endedMs = NowMs();
  dialog.glareRetryAt = 0;
  StopMedia(*call);
  call->SetState(TCallState::Idle);
}

// Ends a call that is in a dialog with the peer: BYE, and the call gone for
// the application with `status` (a missing ACK, a failed re-INVITE).
void TSipEngine::EndWithBye(const ISipCallPtr& call, const std::string& status) {
  TLockGuard<ISipCall> lock(*call);
  if (call->Dialog().ended) return;
  call->SetEndStatus(status);
  HangUp(call);
}

void TSipEngine::DropCall(const ISipCallPtr& call) {
  bool hangUp;
  {
    TLockGuard<ISipCall> lock(*call);
    hangUp = call->GetMediaActive() && call->State() != TCallState::Idle;
  }
  if (hangUp) {
    HangUp(call);
    Pause100ms();
  }
  {
    TLockGuard<ISipCall> lock(*call);
    if (call->GetMediaActive()) {
      call->SetMediaActive(false);
      if (call->State() != TCallState::Idle) call->SetState(TCallState::Idle);
    }
  }
  calls_.Remove(call);
}

void TSipEngine::Hold(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  RequireActive();
  call->Dialog().heldBefore = call->GetOnHold();
  call->SetOnHold(true);
  call->SetMediaDirection("sendonly");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  call->SetState(TCallState::HoldSent);
  SendReInvite(call);
}

void TSipEngine::Unhold(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  RequireActive();
  call->Dialog().heldBefore = call->GetOnHold();
  call->SetOnHold(false);
  call->SetMediaDirection("sendrecv");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  SendReInvite(call);
  call->SetState(TCallState::Connected);
}

// Under the call's lock.
void TSipEngine::SendReInvite(const ISipCallPtr& call) {
  RequireActive();
  call->SetLocalCSeq(NextCSeq());
  PrepareSrtpOffer(*call, *call->GetAccount());
  // A call challenged once keeps answering the challenge on every re-INVITE.
  std::string text = call->GetChallenge().Status.empty() ? BuildInvite(*call, CodecListText())
                                                   : BuildInviteAuth(*call, CodecListText());
  ISipCall::TDialogState& dialog = call->Dialog();
  if (dialog.confirmed) {
    dialog.reInviteCSeq = call->GetLocalCSeq();
    dialog.glareRetryAt = 0;
  }
  SendInDialog(*call, text);
}

// RFC 3261 14.1: a re-INVITE that fails leaves the session as it was. Under
// the call's lock.
void TSipEngine::RestoreAfterReInvite(ISipCall& call) {
  ISipCall::TDialogState& dialog = call.Dialog();
  dialog.reInviteCSeq = 0;
  dialog.glareRetryAt = 0;
  call.SetOnHold(dialog.heldBefore);
  call.SetMediaDirection(dialog.heldBefore ? "sendonly" : "sendrecv");
  call.SetState(dialog.heldBefore ? TCallState::HoldSent : TCallState::Connected);
}

void TSipEngine::Transfer(const ISipCallPtr& call, const std::string& typed) {
  RequireSipText("transfer target", typed, TSipText::Number);
  const std::string target = UriUser(typed);
  {
    TLockGuard<ISipCall> lock(*call);
    if (!call->GetIncoming() || call->State() != TCallState::Ringing) {
      RequireActive();
      call->SetReferTarget(target);
      call->SetState(TCallState::ReferSent);
      call->SetLocalCSeq(NextCSeq());
      call->SetBranch(NewBranch());  // a transaction of its own
      SendInDialog(*call, BuildRefer(*call, target));
      return;
    }
    call->Dialog().ended = true;
    SendResponse(BuildRedirect(*call, target));
    call->SetState(TCallState::Idle);
  }
  // A redirected call is over: nothing else would take it off the list. Out
  // of the call's lock, since the list's lock comes first.
  calls_.Remove(call);
}

void TSipEngine::TransferWithCredentials(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  call->SetState(TCallState::ReferAuthSent);
  RequireActive();
  call->SetLocalCSeq(NextCSeq());
  SendInDialog(*call, BuildReferAuth(*call, call->GetReferTarget()));
}

void TSipEngine::SendDtmfInfo(const ISipCallPtr& call, const std::string& digit) {
  TLockGuard<ISipCall> lock(*call);
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
  info.sentAt = NowMs();
  SendInDialog(*call, BuildInfoDtmf(*call, digit));
}

void TSipEngine::SendDtmfRfc2833(const ISipCallPtr& call, const std::string& digits) {
  TLockGuard<ISipCall> lock(*call);
  call->QueueDtmf(digits);
}

void TSipEngine::PlayWavFile(const ISipCallPtr& call, const std::string& fileName) {
  auto source = std::make_shared<TWavFile>(fileName);
  TLockGuard<ISipCall> lock(*call);
  call->SetWavSource(source);
}

void TSipEngine::PlayWavStream(const ISipCallPtr& call, std::istream& stream, int64_t size) {
  call->SetWavSource(std::make_shared<TWavStream>(stream, size));
}

ISipCallPtr TSipEngine::FindCallByCallId(const std::string& callId) {
  TLockGuard<TSipCalls> lock(calls_);
  for (int i = 0; i < calls_.Count(); ++i) {
    ISipCallPtr call = calls_.Item(i);
    if (call->GetCallId() == callId) return call;
  }
  return nullptr;
}

int TSipEngine::ChooseCodec(const TSipMessage& message) {
  std::vector<int> preference;
  {
    std::lock_guard<std::mutex> guard(codecsLock_);
    preference = codecs_;
  }
  return ChooseAudio(message.SdpAudio, preference).Codec;
}

void TSipEngine::SetCallCodec(ISipCall& call, const TSipMessage& message, int chosen, bool weOffered) {
  const TSdpAudio& sdp = message.SdpAudio;
  // Without SDP (an INVITE that leaves the offer to us) the defaults stand.
  call.SetPayloadMap(sdp.Present ? MakePayloadMap(sdp, {chosen, sdp.TypeFor(chosen)}, weOffered)
                                 : TRtpPayloadMap());
  IAudioCodecPtr codec = call.GetCodec();
  // Opus sends what the peer's a=fmtp asks for (FEC, DTX, bandwidth).
  if (!codec || codec->GetPayloadType() != chosen) call.SetCodec(CreateCodec(chosen, sdp.Format(sdp.TypeFor(chosen))));
}

void TSipEngine::ChooseCodecAgain(ISipCall& call, const TSipMessage& message, bool weOffered) {
  if (message.PayloadTypes.empty()) return;
  int chosen = ChooseCodec(message);
  if (chosen < 0) {
    call.SetCodec(nullptr);  // no 488 for an existing call
    return;
  }
  SetCallCodec(call, message, chosen, weOffered);
}

void TSipEngine::HandleInviteMessage(const ISipCallPtr& call, const TSipMessage& m) {
  TLockGuard<ISipCall> lock(*call);
  ISipAccount& account = *call->GetAccount();
  const int status = ToIntDef(m.StatusCode, 0);
  const int cseq = ToIntDef(m.CSeqNumber, -1);
  const TCallState state = call->State();
  ISipCall::TDialogState& dialog = call->Dialog();

  if (!m.IsResponse()) {
    HandleReInviteRequest(call, m);
    return;
  }
  call->SetLastResponseCode(status);
  if (dialog.confirmed) {
    if (!dialog.ended && dialog.reInviteCSeq != 0 && cseq == dialog.reInviteCSeq) {
      HandleReInviteResponse(call, m);
    } else if (status >= 200 && status < 300 && !call->GetIncoming()) {
      // A 2xx the transaction did not take for a repeat (another fork, or
      // the answer to a re-INVITE of a call we hung up): RFC 3261 13.2.2.4
      // wants every 2xx acknowledged; it changes nothing else.
      SendInDialog(*call, BuildAck(*call, m));
    }
    return;
  }
  if (call->GetIncoming()) return;  // answers to an INVITE we never sent

  // The answers to the INVITE that makes the call. The ACK of a refusal is
  // the transaction's (RFC 3261 17.1.1.3).
  if (status == 401 || status == 403 || status == 407) {
    bool ours = call->GetLocalCSeq() == cseq;
    if (ours) call->SetRouteSet(m);
    // A realm the account does not trust gets no password: the call ends
    // with that status, as for a refusal.
    if (state == TCallState::InviteSent && status != 403 && ours && RealmAllowed(account, m, true)) {
      call->SetChallenge(m.Challenge());
      call->SetState(TCallState::InviteAuthSent);
      call->SetBranch(NewBranch());
      SendReInvite(call);
    } else if (ours) {
      StopMedia(*call);
      dialog.ended = true;
      call->SetState(TCallState::Idle);
      call->SetEndStatus(m.StatusCode);
      DropCall(call);
    }
    return;
  }

  if (status == 100) {
    if (state == TCallState::InviteSent || state == TCallState::InviteAuthSent) call->SetViaHeaders(m.ViaHeaders);
    return;
  }

  if (status == 180 || status == 183) {
    if (!IsOneOf(state, {TCallState::InviteSent, TCallState::InviteAuthSent, TCallState::Ringing})) return;
    call->SetState(TCallState::Ringing);
    call->SetViaHeaders(m.ViaHeaders);
    call->SetRouteSet(m);
    call->SetRemoteTarget(m.ContactUri);
    call->SetLocalCSeq(ToIntDef(m.CSeqNumber, 1));
    call->SetRemoteCSeq(0);
    call->SetRemoteTag(m.ToTag);
    call->SetRemoteUri(m.ToUri);
    call->SetRemoteRtpPort(ToIntDef(m.SdpAudioPort, 0));
    call->SetRemoteRtpAddress(m.SdpAddress);
    ChooseCodecAgain(*call, m, true);
    // Early media only as secure as the call must be.
    const bool srtpOk = !m.SdpAudio.Present || ApplySrtpAnswer(*call, account, m);
    if (call->GetRemoteRtpPort() != 0 && srtpOk) StartMedia(*call);  // early media
    // A peer may repeat 180s without end; a consumer that falls behind
    // loses some of those, never an answer or an end of call.
    if (status == 180 && window_) window_->PostBounded(MsgRingback, kMaxWaitingRingbacks, 0, call);
    return;
  }

  if (status == 200) {
    if (!IsOneOf(state, {TCallState::InviteSent, TCallState::InviteAuthSent, TCallState::Ringing})) return;
    dialog.confirmed = true;
    ChooseCodecAgain(*call, m, true);
    if (call->GetRemoteTag().empty()) call->SetRemoteTag(call->GetIncoming() ? m.FromTag : m.ToTag);
    call->SetState(TCallState::Connected);
    AcceptAnswer(call, m);
    return;
  }

  if (m.StatusCode.size() == 3 && m.StatusCode[0] > '2') {
    StopMedia(*call);
    dialog.ended = true;
    call->SetState(TCallState::Idle);
    call->SetEndStatus(m.StatusCode);
    DropCall(call);
  }
}

// What a 200 to any of our INVITEs does to the dialog and the media; then the
// ACK, which the transaction keeps to send again for a repeated 200.
void TSipEngine::AcceptAnswer(const ISipCallPtr& call, const TSipMessage& m) {
  ISipAccount& account = *call->GetAccount();
  const bool srtpOk = !m.SdpAudio.Present || ApplySrtpAnswer(*call, account, m);
  call->SetViaHeaders(m.ViaHeaders);
  if (m.RecordRouteCount() > 0) call->SetRouteSet(m);
  call->SetViaHost(m.ViaHost);
  call->SetViaPort(m.ViaPort);
  call->SetRemoteTarget(m.ContactUri);
  int sdpPort = ToIntDef(m.SdpAudioPort, -1);
  bool same = call->GetRemoteRtpPort() == sdpPort && call->GetRemoteRtpAddress() == m.SdpAddress;
  if (!srtpOk) {
    StopMedia(*call);  // not one packet goes out less secure than the account wants
  } else if (!same && call->GetRemoteRtpAddress() != "0.0.0.0" && !m.SdpAddress.empty() &&
      m.SdpAddress != "0.0.0.0" && sdpPort > 0) {
    call->SetRemoteRtpPort(sdpPort);
    call->SetRemoteRtpAddress(m.SdpAddress);
    StopMedia(*call);
    call->SetMediaActive(true);
  } else if (m.SdpAudio.Present && m.SdpAudio.Port == 0) {
    StopMedia(*call);  // the answer refused the audio stream (RFC 3264 6)
  }
  SendInDialog(*call, BuildAck(*call, m));
  if (!srtpOk) {
    // The dialog exists, so it ends with BYE; "488" says why, as the peer
    // would have if it had refused our offer itself.
    EndWithBye(call, "488");
    return;
  }
  Post(MsgCallAnswered, 0, call);
}

// The answers to our hold and resume re-INVITEs. Under the call's lock.
void TSipEngine::HandleReInviteResponse(const ISipCallPtr& call, const TSipMessage& m) {
  const int status = ToIntDef(m.StatusCode, 0);
  ISipCall::TDialogState& dialog = call->Dialog();
  if (status < 200) return;
  if (status < 300) {
    dialog.reInviteCSeq = 0;
    ChooseCodecAgain(*call, m, true);
    // A challenged re-INVITE went out in state 2; its 200 connects the call.
    if (call->State() == TCallState::InviteAuthSent) call->SetState(TCallState::Connected);
    AcceptAnswer(call, m);
    return;
  }
  if (status == 401 || status == 407) {
    // Answered with credentials, once. The challenge comes from a proxy
    // that keeps no dialog: the route set stays as the dialog made it.
    if (call->State() != TCallState::InviteAuthSent && RealmAllowed(*call->GetAccount(), m, false)) {
      call->SetChallenge(m.Challenge());
      call->SetState(TCallState::InviteAuthSent);
      call->SetBranch(NewBranch());
      SendReInvite(call);
      return;
    }
  }
  if (status == 491) {
    // RFC 3261 14.1: both sides asked at once; try again after a random
    // while, longer for the side that made the Call-ID, in 10 ms steps.
    bool owner = !call->GetIncoming();
    int64_t wait = owner ? 2100 + 10 * RandomBelow(191) : 10 * RandomBelow(201);
    dialog.glareRetryAt = NowMs() + wait;
    int64_t due = dialogTimerAt_.load();
    while ((due == 0 || dialog.glareRetryAt < due) && !dialogTimerAt_.compare_exchange_weak(due, dialog.glareRetryAt)) {
    }
    return;
  }
  if (status == 408 || status == 481) {
    // 12.2.1.2: the dialog is gone at the far end, or nobody answers in it.
    RestoreAfterReInvite(*call);
    EndWithBye(call, m.StatusCode);
    return;
  }
  RestoreAfterReInvite(*call);
}

// A re-INVITE from the peer: answered with our SDP, also while we hold the
// call (the answer then keeps us on hold). Under the call's lock.
void TSipEngine::HandleReInviteRequest(const ISipCallPtr& call, const TSipMessage& m) {
  TCallState state = call->State();
  const ISipCall::TDialogState& dialog = call->Dialog();
  if (!dialog.confirmed || dialog.ended ||
      !IsOneOf(state, {TCallState::Connected, TCallState::HoldSent, TCallState::InviteAuthSent}))
    return;
  // RFC 3261 14.2: an offer of ours is still out. The peer asks again after
  // its random wait, as we do on its 491.
  if (dialog.reInviteCSeq != 0 && dialog.glareRetryAt == 0) {
    SendResponse(BuildResponse(m, "491 Request Pending"));
    return;
  }
  // A new offer that the account's SRTP cannot take leaves the call as it was.
  TCallSrtp srtp = call->GetSrtp();
  if (m.SdpAudio.Present && !ReadSrtpOffer(m, *call->GetAccount(), srtp)) {
    SendResponse(BuildNotAcceptable(m));
    return;
  }
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
  ChooseCodecAgain(*call, m, false);
  if (m.SdpAudio.Present) call->SetSrtp(srtp);
  // RFC 3264 8.2: port 0 takes the stream away; the answer says so too.
  if (call->GetRemoteRtpPort() != 0) {
    StartMedia(*call);
  } else if (m.SdpAudio.Present) {
    StopMedia(*call);
  }
  if (call->GetOnHold()) {
    // RFC 3264 8.4: we still hold; a peer that holds us too gets "inactive".
    const std::string& body = m.RawText;
    bool peerSends = body.find("a=sendonly") == std::string::npos && body.find("a=inactive") == std::string::npos;
    call->SetMediaDirection(peerSends ? "sendonly" : "inactive");
  }
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  SendResponse(BuildInviteOk(*call));
}

}  // namespace qv
