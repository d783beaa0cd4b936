// Responses: those to the call's INVITE (with the SDP answer, the redirect and
// the others) and those that echo a received request.
#include "dialogs/siprequests.h"
#include "dialogs/sippieces.h"
#include "media/codecs.h"
#include "sip/sdp.h"
#include "sip/sipmessage.h"

namespace qv {

using namespace pieces;

namespace {

// The answer names the one negotiated codec under the offer's number for it,
// and telephone events only when the offer had them, again under its number
// (RFC 3264 6.1). It always sends and receives, and always gives the real
// address; a stream the offer took away (port 0) is answered with port 0.
std::string SdpAnswer(ISipCall& call, ISipAccount& a) {
  const std::string address = a.GetContactAddress();
  const TRtpPayloadMap map = call.GetPayloadMap();
  IAudioCodecPtr codec = call.GetCodec();
  const int codecType = !codec ? -1 : map.SendAudioType >= 0 ? map.SendAudioType : codec->GetPayloadType();
  // Without a codec (a re-offer with nothing in common) only the events remain.
  const std::string payloadType = codecType >= 0 ? std::to_string(codecType) : "";
  const std::string event = map.SendEventType >= 0 ? std::to_string(map.SendEventType) : "";
  const int port = map.AudioRejected ? 0 : call.GetLocalRtpPort();
  std::string s;
  s += "v=0\r\no=- " + std::to_string(call.GetSdpSessionId()) + " " +
       std::to_string(call.GetSdpVersion()) + " " + pieces::SdpAddress(address) + "\r\n";
  s += "s=Corvale SIP component\r\n";
  s += "c=" + pieces::SdpAddress(address) + "\r\n";
  s += "t=0 0\r\n";
  s += "m=audio " + std::to_string(port) + " RTP/AVP " + payloadType + (event.empty() ? "" : " " + event) + "\r\n";
  // A dynamic number means nothing without its map; the static ones stand alone.
  if (codecType >= 96) s += "a=rtpmap:" + payloadType + " " + RtpMapFormat(codec->GetPayloadType()) + "\r\n";
  if (codecType >= 0 && codec->GetPayloadType() == kCodecOpus) s += "a=fmtp:" + payloadType + " " + kOpusFormat + "\r\n";
  if (!event.empty()) s += "a=rtpmap:" + event + " telephone-event/" + std::to_string(map.SendEventClock) + "\r\n";
  if (!event.empty()) s += "a=fmtp:" + event + " 0-16\r\n";
  // While we hold the call, answering the peer's re-INVITE keeps it held.
  s += "a=" + (call.GetOnHold() ? call.GetMediaDirection() : std::string("sendrecv")) + "\r\n";
  return s;
}

std::string CSeqLine(const TSipMessage& r) {
  return "CSeq: " + r.CSeqNumber + " " + r.CSeqMethod + "\r\n";
}

}  // namespace

std::string BuildInviteOk(ISipCall& call) {
  ISipAccountPtr a = AccountOf(call);
  std::string s;
  s += "SIP/2.0 200 OK\r\n";
  s += call.GetViaHeaders();
  s += call.GetToHeader() + ";tag=" + call.GetLocalTag() + "\r\n";
  s += call.GetFromHeader() + "\r\n";
  s += call.RecordRouteLines();
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += "CSeq: " + std::to_string(call.GetRemoteCSeq()) + " INVITE\r\n";
  s += CallContact(*a);
  s += kAllow;
  s += "Content-Type: application/sdp\r\n";
  s += BodyLength(SdpAnswer(call, *a));
  return s;
}

std::string BuildRedirect(ISipCall& call, const std::string& target) {
  ISipAccountPtr a = AccountOf(call);
  std::string s;
  s += "SIP/2.0 302 Moved Temporarily\r\n";
  s += call.GetViaHeaders();
  s += "To: <" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "From: <" + call.GetRemoteUri() + ">;tag=" + call.GetRemoteTag() + "\r\n";
  s += call.RecordRouteLines();
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += "CSeq: " + std::to_string(call.GetRemoteCSeq()) + " INVITE\r\n";
  s += "Contact: <sip:" + target + "@" + a->GetDomain() + ">\r\n";
  s += kAllow;
  s += kEmptyContent;
  return s;
}

std::string BuildInviteResponse(ISipCall& call, const std::string& status) {
  std::string s;
  s += "SIP/2.0 " + status + "\r\n";
  s += call.GetViaHeaders();
  s += "To: <" + call.GetLocalUri() + ">;tag=" + call.GetLocalTag() + "\r\n";
  s += "From: <" + call.GetRemoteUri() + ">;tag=" + call.GetRemoteTag() + "\r\n";
  s += call.RecordRouteLines();
  s += "Call-ID: " + call.GetCallId() + "\r\n";
  s += "CSeq: " + std::to_string(call.GetRemoteCSeq()) + " INVITE\r\n";
  s += kEmptyContent;
  return s;
}

// The echo responses copy the To line as received and add no To tag.

std::string BuildResponse(const TSipMessage& r, const std::string& status) {
  std::string s;
  s += "SIP/2.0 " + status + "\r\n";
  s += r.ViaHeaders;
  s += r.ToHeader + "\r\n";
  s += r.FromHeader + "\r\n";
  s += r.RecordRouteHeaders;
  s += "Call-ID: " + r.CallId + "\r\n";
  s += CSeqLine(r);
  s += kEmptyContent;
  return s;
}

std::string BuildOk(const TSipMessage& r) {
  std::string s;
  s += "SIP/2.0 200 OK\r\n";
  s += r.ViaHeaders;
  s += r.FromHeader + "\r\n";
  s += r.ToHeader + "\r\n";
  s += r.RecordRouteHeaders;
  s += "Call-ID: " + r.CallId + "\r\n";
  s += CSeqLine(r);
  s += kEmptyContent;
  return s;
}

std::string BuildOptionsOk(const TSipMessage& r) {
  std::string s;
  s += "SIP/2.0 200 OK\r\n";
  s += r.ViaHeaders;
  s += r.ToHeader + "\r\n";
  s += r.FromHeader + "\r\n";
  s += r.RecordRouteHeaders;
  s += CSeqLine(r);
  s += "Accept: application/sdp\r\n";
  s += kAllow;
  s += "Call-ID: " + r.CallId + "\r\n";
  s += kEmptyContent;
  return s;
}

std::string BuildNotAcceptable(const TSipMessage& r) {
  std::string s;
  s += "SIP/2.0 488 Not Acceptable Here\r\n";
  s += r.ViaHeaders;
  s += r.FromHeader + "\r\n";
  s += r.ToHeader + "\r\n";
  s += "Call-ID: " + r.CallId + "\r\n";
  s += CSeqLine(r);
  s += kEmptyContent;
  return s;
}

}  // namespace qv
