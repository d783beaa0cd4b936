// The requests of a call: INVITE and its SDP offer, INFO, CANCEL, REFER, BYE
// and the two ACKs.
#include "dialogs/guids.h"
#include "dialogs/siprequests.h"
#include "dialogs/sippieces.h"
#include "platform/textutil.h"
#include "sip/sdes.h"
#include "sip/sdp.h"
#include "sip/sipmessage.h"

namespace qv {

using namespace pieces;

namespace {

// One a=rtpmap line for each offered type we can name, in the order of the
// m= line: a peer must not have to guess what 110 is (RFC 4566 6); Opus
// with its a=fmtp beside it.
std::string RtpMapLines(const std::string& payloadTypes) {
  std::string lines;
  size_t start = 0;
  while (start < payloadTypes.size()) {
    size_t end = payloadTypes.find(' ', start);
    if (end == std::string::npos) end = payloadTypes.size();
    int type = -1;
    const std::string format = ParseInt(std::string_view(payloadTypes).substr(start, end - start), type)
                                   ? RtpMapFormat(type) : std::string();
    if (!format.empty()) lines += "a=rtpmap:" + std::to_string(type) + " " + format + "\r\n";
    if (type == kOfferedOpusType) lines += "a=fmtp:" + std::to_string(type) + " " + kOpusFormat + "\r\n";
    start = end + 1;
  }
  return lines;
}

bool OffersOpus(const std::string& payloadTypes) {
  return (" " + payloadTypes + " ").find(" " + std::to_string(kOfferedOpusType) + " ") != std::string::npos;
}

// Digits go as telephone events at 8000 Hz beside the narrowband codecs and
// G.722, and at 48000 Hz beside Opus (RFC 4733 2.1: the clock of the audio).
std::string SdpOffer(ISipCall& call, ISipAccount& a, const std::string& payloadTypes) {
  const std::string address = a.GetContactAddress();
  const std::string direction = call.GetMediaDirection();
  // Holding the peer: no address to send to, but o= still names us.
  const std::string connection = direction == "sendonly" ? "0.0.0.0" : address;
  const TCallSrtp srtp = call.GetSrtp();
  const std::string profile = srtp.Savp ? "RTP/SAVP" : "RTP/AVP";
  const bool opus = OffersOpus(payloadTypes);
  const std::string wideEvent = std::to_string(kOfferedWideEventType);
  std::string s;
  s += "v=0\r\no=- " + std::to_string(call.GetSdpSessionId()) + " " +
       std::to_string(call.GetSdpVersion()) + " " + pieces::SdpAddress(address) + "\r\n";
  s += "s=Corvale SIP component\r\n";
  s += "c=" + pieces::SdpAddress(connection) + "\r\n";
  s += "t=0 0\r\n";
  s += "m=audio " + std::to_string(call.GetLocalRtpPort()) + " " + profile + " " + payloadTypes + " 101" +
       (opus ? " " + wideEvent : "") + "\r\n";
  s += RtpMapLines(payloadTypes);
  s += "a=rtpmap:101 telephone-event/8000\r\n";
  s += "a=fmtp:101 0-15\r\n";
  if (opus) s += "a=rtpmap:" + wideEvent + " telephone-event/48000\r\n";
  if (opus) s += "a=fmtp:" + wideEvent + " 0-15\r\n";
  s += "a=ptime:20\r\n";
  s += "a=" + direction + "\r\n";
  // RFC 4568: both suites under one key of ours; the answer picks a tag.
  if (srtp.Offer) s += CryptoLine(kOfferTag80, kSrtpAes128Sha1_80, srtp.LocalKey);
  if (srtp.Offer) s += CryptoLine(kOfferTag32, kSrtpAes128Sha1_32, srtp.LocalKey);
  return s;
}

// Inside a dialog (once the peer's tag and Contact are known) a request goes
// to the peer's Contact along the route set, RFC 3261 12.2.1.1; a proxy that
// record-routed the call refuses it otherwise. Before that, to the dialled URI.
bool InDialog(ISipCall& call) { return !call.GetRemoteTag().empty() && !call.GetRemoteTarget().empty(); }

std::string RequestUri(ISipCall& call) { return InDialog(call) ? call.GetRemoteTarget() : call.GetRemoteUri(); }

// The route set as Route headers. A callee keeps the Record-Route entries in
// their order, a caller in reverse (RFC 3261 12.1.1, 12.1.2); the list is
// stored reversed, so each side has its rendering.
std::string DialogRoute(ISipCall& call) { return call.GetIncoming() ? call.RouteLines() : call.RouteLine(); }

TCredentials CallCredentials(ISipCall& call, ISipAccount& a, TQopForm form,
                             const std::string& method, const std::string& body,
                             const std::string& uri) {
  TChallenge challenge = call.GetChallenge();
  return Credentials(form, RequestAuthName(challenge.Status), method, uri,
                     a.GetUserName(), a.GetPassword(), challenge, body);
}

// Lines 1 to 9 of INVITE, shared with its retry with credentials.
std::string InviteHead(ISipCall& call, ISipAccount& a) {
  const std::string remoteUri = call.GetRemoteUri(), remoteTag = call.GetRemoteTag();
  std::string s;
  s += "INVITE " + RequestUri(call) + " SIP/2.0\r\n";
  s += "From: " + a.GetDisplayPrefix() + "<sip:" + a.GetUserName() + "@" + a.GetDomain() +
       ">;tag=" + call.GetLocalTag() + "\r\n";
  s += remoteTag.empty() ? "To: <" + remoteUri + ">\r\n"
                         : "To: <" + remoteUri + ">;tag=" + remoteTag + "\r\n";
  s += AccountVia(a, call.GetBranch());
  if (InDialog(call)) s += DialogRoute(call);  // a re-INVITE
  s += "CSeq: " + std::to_string(call.GetLocalCSeq()) + " INVITE\r\n";
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += kAllow;
  s += CallContact(a);
  s += kMaxForwards;
  return s;
}

// Our Via with the call's current branch (rport after the branch).
std::string OwnVia(ISipCall& call, ISipAccount& a) {
  return "Via: SIP/2.0/" + std::string(ViaTransportName(a.GetTransport())) + " " + UriHost(a.GetLocalAddress()) +
         ":" + std::to_string(a.GetLocalPort()) +
         ";branch=" + call.GetBranch() + ";rport\r\n";
}

// CANCEL reuses the Via lines that came back on the INVITE's responses, so
// that it names the INVITE's transaction (RFC 3261 9.1).
std::string CallVia(ISipCall& call, ISipAccount& a) {
  std::string via = call.GetViaHeaders();
  if (!via.empty()) return via;
  return OwnVia(call, a);
}

// Lines 1 to 5 of REFER, and lines 6 to 10.
std::string ReferHead(ISipCall& call, ISipAccount& a) {
  const std::string remoteUri = call.GetRemoteUri();
  std::string s;
  s += "REFER " + RequestUri(call) + " SIP/2.0\r\n";
  // A transaction of its own: our Via with the new branch the engine gave
  // the call, never the INVITE's Via lines (on a call we answered those are
  // the caller's).
  s += OwnVia(call, a);
  s += DialogRoute(call);
  s += "From: <" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "To: <" + remoteUri + ">;tag=" + call.GetRemoteTag() + "\r\n";
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  return s;
}

std::string ReferTail(ISipCall& call, ISipAccount& a, const std::string& target) {
  std::string s;
  s += "Refer-To: <sip:" + target + "@" + a.GetDomain() + ">\r\n";
  s += "Referred-By: <" + call.GetLocalUri() + ">\r\n";
  s += CallContact(a);
  s += "CSeq: " + std::to_string(call.GetLocalCSeq()) + " REFER\r\n";
  s += kEmptyContent;
  return s;
}

std::string AckRequestUri(const TSipMessage& r) {
  return r.ContactUri.empty() ? "sip:" + r.ToUser + "@" + r.ToHostPart : r.ContactUri;
}

}  // namespace

std::string BuildInvite(ISipCall& call, const std::string& payloadTypes) {
  ISipAccountPtr a = AccountOf(call);
  std::string s = InviteHead(call, *a);
  s += "Content-Type: application/sdp\r\n";
  s += BodyLength(SdpOffer(call, *a, payloadTypes));
  return s;
}

std::string BuildInviteAuth(ISipCall& call, const std::string& payloadTypes) {
  ISipAccountPtr a = AccountOf(call);
  // auth-int hashes this very body, so it is made before the credentials.
  const std::string sdp = SdpOffer(call, *a, payloadTypes);
  TCredentials credentials = CallCredentials(call, *a, TQopForm::C, "INVITE", sdp, RequestUri(call));
  KeepMadeCnonce(call, credentials);
  call.SetAuthHeader(credentials.Line);
  std::string s = InviteHead(call, *a);
  s += credentials.Line;
  s += "Content-Type: application/sdp\r\n";
  s += BodyLength(sdp);
  return s;
}

std::string BuildInfoDtmf(ISipCall& call, const std::string& digit) {
  ISipAccountPtr a = AccountOf(call);
  std::string s;
  s += "INFO " + call.GetRemoteTarget() + " SIP/2.0\r\n";
  s += "Via: SIP/2.0/" + std::string(ViaTransportName(a->GetTransport())) + " " + UriHost(a->GetLocalAddress()) +
       ":" + std::to_string(a->GetLocalPort()) +
       ";branch=" + NewBranch() + "\r\n";
  s += DialogRoute(call);  // a request follows Route, not Record-Route
  s += "From: " + a->GetDisplayPrefix() + "<" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "To: <" + call.GetRemoteUri() + ">;tag=" + call.GetRemoteTag() + "\r\n";
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += "CSeq: " + std::to_string(call.GetLocalCSeq()) + " INFO\r\n";
  s += kMaxForwards;
  s += CallContact(*a);
  s += "Content-Type: application/dtmf-relay\r\n";
  s += BodyLength("Signal= " + digit + "\r\n" + "Duration= 160\r\n");
  return s;
}

std::string BuildCancel(ISipCall& call) {
  ISipAccountPtr a = AccountOf(call);
  const std::string remoteUri = call.GetRemoteUri();
  std::string s;
  s += "CANCEL " + remoteUri + " SIP/2.0\r\n";
  s += CallVia(call, *a);
  s += "From: " + a->GetDisplayPrefix() + "<" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "To: <" + remoteUri + ">\r\n";
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += "CSeq: " + std::to_string(call.GetLocalCSeq()) + " CANCEL\r\n";
  // No credentials: a CANCEL cannot be challenged (RFC 3261 22.1), and a
  // line with an empty realm and nonce would only tell our user name.
  s += kMaxForwards;
  s += kEmptyContent;
  return s;
}

std::string BuildRefer(ISipCall& call, const std::string& target) {
  ISipAccountPtr a = AccountOf(call);
  return ReferHead(call, *a) + ReferTail(call, *a, target);
}

std::string BuildReferAuth(ISipCall& call, const std::string& target) {
  ISipAccountPtr a = AccountOf(call);
  std::string s = ReferHead(call, *a);
  s += CallCredentials(call, *a, TQopForm::D, "REFER", "", RequestUri(call)).Line;
  s += ReferTail(call, *a, target);
  return s;
}

std::string BuildBye(ISipCall& call) {
  ISipAccountPtr a = AccountOf(call);
  std::string s;
  s += "BYE " + call.GetRemoteTarget() + " SIP/2.0\r\n";
  s += AccountVia(*a, call.GetBranch());
  s += DialogRoute(call);
  s += "To: <" + call.GetRemoteUri() + ">;tag=" + call.GetRemoteTag() + "\r\n";
  s += "From: <" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += kMaxForwards;
  s += "CSeq: " + std::to_string(call.GetLocalCSeq()) + " BYE\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildAck(ISipCall& call, const TSipMessage& r) {
  ISipAccountPtr a = AccountOf(call);
  std::string s;
  s += "ACK " + AckRequestUri(r) + " SIP/2.0\r\n";
  s += r.ViaHeaders;
  // RFC 3261 13.2.2.4: the ACK of a 2xx follows the dialog's route set, or a
  // record-routing proxy cannot pass it on to the callee.
  s += DialogRoute(call);
  s += kMaxForwards;
  s += r.FromHeader + "\r\n";
  s += r.ToHeader + "\r\n";
  s += "Call-ID: " + r.CallId + "\r\n";
  s += "Contact: <" + a->GetContactUri() + ">\r\n";
  s += "CSeq: " + r.CSeqNumber + " ACK\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildAckFromResponse(const TSipMessage& r) {
  std::string s;
  s += "ACK " + AckRequestUri(r) + " SIP/2.0\r\n";
  s += r.ViaHeaders;
  s += kMaxForwards;
  s += r.FromHeader + "\r\n";
  s += r.ToHeader + "\r\n";
  s += "Call-ID: " + r.CallId + "\r\n";
  s += "CSeq: " + r.CSeqNumber + " ACK\r\n";
  s += kEmptyContent;
  return s;
}

}  // namespace qv
