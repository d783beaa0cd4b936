#include "support/sipfixtures.h"

#include "sip/sipmessage.h"

namespace qv::test {

std::shared_ptr<TAccount> MakeAccount() {
  auto a = std::make_shared<TAccount>();
  a->SetDomain("pbx.example.org");
  a->SetUserName("1001");
  a->SetPassword("s3cret");
  a->SetLocalAddress("192.168.1.20");
  a->SetLocalPort(5075);
  a->SetBranch("z9hG4bK4A1F03C2D9");
  a->SetLocalTag("8F3A1C2B7");
  a->SetCallId("0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4");
  a->SetCSeq(7);
  return a;
}

std::shared_ptr<TCall> MakeOutgoingCall(const std::shared_ptr<TFakeEngine>& engine,
                                        const ISipAccountPtr& account) {
  auto c = std::make_shared<TCall>(engine, "5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A", account);
  c->SetLocalTag("A1B2C3D4E");
  c->SetBranch("z9hG4bKC0FFEE1234");
  c->SetRemoteUri("sip:1002@pbx.example.org");
  c->SetRemoteUser("1002");
  c->SetLocalUri("sip:1001@pbx.example.org");
  c->SetRemoteTag("b85f3e2a1b");
  c->SetRemoteTarget("sip:1002@192.168.1.30:5062");
  c->SetLocalCSeq(21);
  c->SetSdpSessionId(4321);
  c->SetSdpVersion(1);
  c->SetLocalRtpPort(20002);
  return c;
}

std::shared_ptr<TCall> MakeIncomingCall(const std::shared_ptr<TFakeEngine>& engine,
                                        const ISipAccountPtr& account) {
  TSipMessage invite(kIncomingInvite);
  auto c = std::make_shared<TCall>(engine, invite.CallId, account);
  c->SetLocalTag("77E1D2C3B");
  c->SetBranch("z9hG4bK1122334455");
  c->SetIncoming(true);
  c->SetViaHeaders(invite.ViaHeaders);
  c->SetFromHeader(invite.FromHeader);
  c->SetToHeader(invite.ToHeader);
  c->SetLocalUri(invite.ToUri);
  c->SetRemoteUri(invite.FromUri);
  c->SetRemoteTag(invite.FromTag);
  c->SetRemoteUser(invite.FromUser);
  c->SetRemoteTarget(invite.ContactUri);
  c->SetRemoteCSeq(102);
  c->SetLocalCSeq(22);
  c->SetRouteSet(invite);
  c->SetSdpSessionId(1300);
  c->SetSdpVersion(0);
  c->SetLocalRtpPort(20004);
  return c;
}

const char* const kIncomingInvite =
    "INVITE sip:1001@192.168.1.20:5075 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK2d4790a1;rport\r\n"
    "Via: SIP/2.0/UDP 192.168.1.30:5062;received=192.168.1.30;branch=z9hG4bK77aa\r\n"
    "Record-Route: <sip:192.168.1.1;lr>\r\n"
    "Record-Route: <sip:10.0.0.1;lr>\r\n"
    "From: \"Bob\" <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
    "To: <sip:1001@pbx.example.org>\r\n"
    "Contact: <sip:1002@192.168.1.30:5062>\r\n"
    "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
    "CSeq: 102 INVITE\r\n"
    "Max-Forwards: 69\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 136\r\n"
    "\r\n"
    "v=0\r\n"
    "o=- 99 1 IN IP4 192.168.1.30\r\n"
    "s=-\r\n"
    "c=IN IP4 192.168.1.30\r\n"
    "t=0 0\r\n"
    "m=audio 40000 RTP/AVP 8 0 101\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n";

const char* const kOptions =
    "OPTIONS sip:1001@192.168.1.20:5075 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK0c1d2e3f;rport\r\n"
    "From: \"PBX\" <sip:pbx@192.168.1.1>;tag=b812ab34cd\r\n"
    "To: <sip:1001@192.168.1.20:5075>\r\n"
    "Contact: <sip:pbx@192.168.1.1:5060>\r\n"
    "Call-ID: 7a1b2c3d4e5f@192.168.1.1\r\n"
    "CSeq: 102 OPTIONS\r\n"
    "Max-Forwards: 70\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

const char* const kIncomingInfo =
    "INFO sip:1001@192.168.1.20:5075 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK5e6f7a8b;rport\r\n"
    "From: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
    "To: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
    "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
    "CSeq: 103 INFO\r\n"
    "Content-Type: application/dtmf-relay\r\n"
    "Content-Length: 24\r\n"
    "\r\n"
    "Signal=5\r\n"
    "Duration=160\r\n";

const char* const kInvite200 =
    "SIP/2.0 200 OK\r\n"
    "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bKC0FFEE1234;received=192.168.1.20\r\n"
    "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
    "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
    "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
    "CSeq: 21 INVITE\r\n"
    "Contact: <sip:1002@192.168.1.1:5060>\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

const char* const kInvite486 =
    "SIP/2.0 486 Busy Here\r\n"
    "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bKC0FFEE1234\r\n"
    "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
    "To: <sip:1002@pbx.example.org:5060>;tag=b80e9d8c7b\r\n"
    "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
    "CSeq: 21 INVITE\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

const char* const kMessage407 =
    "SIP/2.0 407 Proxy Authentication Required\r\n"
    "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bK9E8D7C6B5A;received=192.168.1.20\r\n"
    "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
    "To: <sip:1003@pbx.example.org>;tag=b87d6e5f4a\r\n"
    "Call-ID: E1D2C3B4A5F60718293A4B5C6D7E8F90\r\n"
    "CSeq: 8 MESSAGE\r\n"
    "Record-Route: <sip:192.168.1.1;lr>\r\n"
    "Proxy-Authenticate: Digest algorithm=MD5, realm=\"voip\", nonce=\"3f9a12c4\", qop=\"auth\", opaque=\"xyz\"\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

}  // namespace qv::test
