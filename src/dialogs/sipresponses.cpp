// Responses: those to the call's INVITE (with the SDP answer, the redirect and
// the others) and those that echo a received request.
#include "dialogs/siprequests.h"
#include "dialogs/sippieces.h"
#include "sip/sipmessage.h"

namespace qv {

using namespace pieces;

namespace {

// The answer names the one negotiated codec, always sends and receives, and
// always gives the real address.
std::string SdpAnswer(ISipCall& call, ISipAccount& a) {
  const std::string address = a.GetContactAddress();
  IAudioCodecPtr codec = call.GetCodec();
  // Without a codec (a re-offer with nothing in common) only the events remain.
  const std::string payloadType = codec ? std::to_string(codec->GetPayloadType()) : "";
  std::string s;
  s += "v=0\r\no=- " + std::to_string(call.GetSdpSessionId()) + " " +
       std::to_string(call.GetSdpVersion()) + " IN IP4 " + address + "\r\n";
  s += "s=Corvale SIP component\r\n";
  s += "c=IN IP4 " + address + "\r\n";
  s += "t=0 0\r\n";
  s += "m=audio " + std::to_string(call.GetLocalRtpPort()) + " RTP/AVP " + payloadType + " 101\r\n";
  s += "a=rtpmap:101 telephone-event/8000\r\n";
  s += "a=fmtp:101 0-16\r\n";
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
