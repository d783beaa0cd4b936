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
  calls_.Add(call);
  TLockGuard<ISipCall> lock(*call);
  std::string text = BuildInvite(*call, CodecListText());
  call->SetState(TCallState::InviteSent);
  SendToServer(*account, text);
  return call;
}

void TSipEngine::Answer(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  SendToServer(*call->GetAccount(), BuildInviteOk(*call));
  call->SetState(TCallState::Connected);
  call->SetMediaActive(true);
}

void TSipEngine::Busy(const ISipCallPtr& call) {
  SendToServer(*call->GetAccount(), BuildInviteResponse(*call, "486 Busy here"));
}

void TSipEngine::HangUp(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  TCallState state = call->State();
  if (state == TCallState::Connected || state == TCallState::HoldSent) {
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
  call->SetOnHold(true);
  call->SetMediaDirection("sendonly");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  call->SetState(TCallState::HoldSent);
  SendReInvite(call);
}

void TSipEngine::Unhold(const ISipCallPtr& call) {
  TLockGuard<ISipCall> lock(*call);
  call->SetOnHold(false);
  call->SetMediaDirection("sendrecv");
  call->SetSdpVersion(call->GetSdpVersion() + 1);
  call->SetBranch(NewBranch());
  SendReInvite(call);
  call->SetState(TCallState::Connected);
}

void TSipEngine::SendReInvite(const ISipCallPtr& call) {
  RequireActive();
  call->SetLocalCSeq(NextCSeq());
  PrepareSrtpOffer(*call, *call->GetAccount());
  // A call challenged once keeps answering the challenge on every re-INVITE.
  std::string text = call->GetChallenge().Status.empty() ? BuildInvite(*call, CodecListText())
                                                   : BuildInviteAuth(*call, CodecListText());
  SendToServer(*call->GetAccount(), text);
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
      SendToServer(*call->GetAccount(), BuildRefer(*call, target));
      return;
    }
    SendToServer(*call->GetAccount(), BuildRedirect(*call, target));
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
  SendToServer(*call->GetAccount(), BuildReferAuth(*call, call->GetReferTarget()));
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
  info.sentAt = Now();
  SendToServer(*call->GetAccount(), BuildInfoDtmf(*call, digit));
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
  if (!codec || codec->GetPayloadType() != chosen) call.SetCodec(CreateCodec(chosen));
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
  call->SetLastResponseCode(status);

  if (status == 401 || status == 403 || status == 407) {
    SendToServer(account, BuildAckFromResponse(m));
    bool ours = call->GetLocalCSeq() == cseq;
    if (ours) call->SetRouteSet(m);
    if ((state == TCallState::InviteSent || state == TCallState::HoldSent) && status != 403 && ours) {
      call->SetChallenge(m.Challenge());
      call->SetState(TCallState::InviteAuthSent);
      call->SetBranch(NewBranch());
      SendReInvite(call);
    } else if (ours) {
      StopMedia(*call);
      call->SetState(TCallState::Idle);
      call->SetEndStatus(m.StatusCode);
      DropCall(call);
    }
    return;
  }

  if (m.StatusCode.empty()) {  // a re-INVITE from the peer
    if (state != TCallState::Connected) return;
    // A new offer that the account's SRTP cannot take leaves the call as it was.
    TCallSrtp srtp = call->GetSrtp();
    if (m.SdpAudio.Present && !ReadSrtpOffer(m, account, srtp)) {
      SendToServer(account, BuildNotAcceptable(m));
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
    call->SetSdpVersion(call->GetSdpVersion() + 1);
    SendToServer(account, BuildInviteOk(*call));
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
    if (status == 180) Post(MsgRingback, 0, call);
    return;
  }

  if (status == 200) {
    if (!IsOneOf(state, {TCallState::InviteSent, TCallState::InviteAuthSent, TCallState::Ringing, TCallState::Connected, TCallState::HoldSent})) return;
    ChooseCodecAgain(*call, m, true);
    const bool srtpOk = !m.SdpAudio.Present || ApplySrtpAnswer(*call, account, m);
    if (call->GetRemoteTag().empty()) call->SetRemoteTag(call->GetIncoming() ? m.FromTag : m.ToTag);
    if (state != TCallState::HoldSent) call->SetState(TCallState::Connected);
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
    SendToServer(account, BuildAck(*call, m));
    if (!srtpOk) {
      // The dialog exists, so it ends with BYE; "488" says why, as the peer
      // would have if it had refused our offer itself.
      HangUp(call);
      call->SetState(TCallState::Idle);
      call->SetEndStatus("488");
      DropCall(call);
      return;
    }
    Post(MsgCallAnswered, 0, call);
    return;
  }

  if (m.StatusCode.size() == 3 && m.StatusCode[0] > '2' && state != TCallState::Connected) {
    SendToServer(account, BuildAckFromResponse(m));
    StopMedia(*call);
    call->SetState(TCallState::Idle);
    call->SetEndStatus(m.StatusCode);
    DropCall(call);
    return;
  }
  if (m.StatusCode[0] != '1') SendToServer(account, BuildAckFromResponse(m));
}

}  // namespace qv
