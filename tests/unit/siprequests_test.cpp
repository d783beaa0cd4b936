// Golden texts of every request and response the user agent sends. Each
// expected text is written by hand, one wire line per source line; Digest
// responses were computed outside this code base (Python hashlib).
#include <gtest/gtest.h>

#include "dialogs/siprequests.h"
#include "sip/sipmessage.h"
#include "support/golden.h"
#include "support/sipfixtures.h"

namespace qv::test {
namespace {

const std::string kIncomingVias =
    "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK2d4790a1;rport\r\n"
    "Via: SIP/2.0/UDP 192.168.1.30:5062;received=192.168.1.30;branch=z9hG4bK77aa\r\n";
const std::string kOfferSdp =
    "v=0\r\n"
    "o=- 4321 1 IN IP4 192.168.1.20\r\n"
    "s=Corvale SIP component\r\n"
    "c=IN IP4 192.168.1.20\r\n"
    "t=0 0\r\n"
    "m=audio 20002 RTP/AVP 0 8 3 101\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:3 GSM/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\n"
    "a=ptime:20\r\n"
    "a=sendrecv\r\n";  // 266 bytes

class Builders : public ::testing::Test {
protected:
  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TAccount> account = MakeAccount();
  std::shared_ptr<TCall> outgoing = MakeOutgoingCall(engine, account);
  std::shared_ptr<TCall> incoming = MakeIncomingCall(engine, account);

  void Challenge(ISipAccount& a, const char* status, const char* realm, const char* nonce,
                 const char* qop, const char* opaque) {
    a.SetChallenge({status, realm, nonce, qop, opaque});
  }
  void Challenge(ISipCall& c, const char* status, const char* realm, const char* nonce,
                 const char* qop, const char* opaque) {
    c.SetChallenge({status, realm, nonce, qop, opaque});
  }
};

// --- Registration ---------------------------------------------------------

// The published vectors (tests/data/digest): RFC 2617's own example and two
// answers a real registrar and proxy accepted.
TEST(Digest, KnownResponses) {
  EXPECT_EQ(DigestResponse({"GET", "/dir/index.html", "Mufasa", "testrealm@host.com", "Circle Of Life",
                            "auth", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "0a4f113b", ""}),
            "6629fae49393a05397450978507c4ef1");
  EXPECT_EQ(DigestResponse({"REGISTER", "sip:127.0.0.1:5060", "bob", "127.0.0.1", "bobpw", "auth",
                            "axhY0WsYV6VYmcpBRo/h37gxnIf7zT9R", "6b8b4567", ""}),
            "c5ac22cfe7dc9ddcfbfdf5f41dfa6fe0");
  EXPECT_EQ(DigestResponse({"INVITE", "sip:127.0.0.1:5060", "alice", "127.0.0.1", "alicepw", "auth",
                            "axhY02sYV6fwA9rTQ3y1JcAZNsRZyu7m", "6b8b4567", ""}),
            "d4b5a3f91a1bf562f8cb976a4da4c993");
}

TEST_F(Builders, Register) {
  EXPECT_WIRE(
      "REGISTER sip:pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK4A1F03C2D9\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1001@pbx.example.org>\r\n"
      "Call-ID: 0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4\r\n"
      "CSeq: 7 REGISTER\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>;expires=3600;q=0.90\r\n"
      "User-Agent: Corvale 2.99\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Max-Forwards: 20\r\n"
      "Expires: 3600\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildRegister(*account));
}

TEST_F(Builders, DisplayNameQuotedBeforeFromAndToUri) {
  account->SetDisplayName("Ann");
  std::string text = BuildRegister(*account);
  EXPECT_NE(text.find("\r\nFrom: \"Ann\" <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nTo: \"Ann\" <sip:1001@pbx.example.org>\r\n"), std::string::npos) << text;
  // Requests that name us by display name, and those that do not.
  const std::string named = "\r\nFrom: \"Ann\" <sip:1001@pbx.example.org>;tag=";
  EXPECT_NE(BuildMessage(*account, "1003", "x").find(named + "8F3A1C2B7\r\nTo: <sip:1003@"), std::string::npos);
  EXPECT_NE(BuildInvite(*outgoing, "0").find(named + "A1B2C3D4E\r\n"), std::string::npos);
  EXPECT_NE(BuildCancel(*outgoing).find(named + "A1B2C3D4E\r\n"), std::string::npos);
  EXPECT_NE(BuildInfoDtmf(*outgoing, "1").find(named + "A1B2C3D4E\r\n"), std::string::npos);
  const std::string plain = "\r\nFrom: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n";
  EXPECT_NE(BuildRefer(*outgoing, "1003").find(plain), std::string::npos);
  EXPECT_NE(BuildBye(*outgoing).find(plain), std::string::npos);
}

TEST_F(Builders, RegisterAuthWithoutQop) {
  Challenge(*account, "401", "voip", "4b1e3f5a", "", "");
  EXPECT_WIRE(
      "REGISTER sip:pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK4A1F03C2D9\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1001@pbx.example.org>\r\n"
      "Call-ID: 0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4\r\n"
      "User-Agent: Corvale 2.99\r\n"
      "CSeq: 7 REGISTER\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>;expires=3600;q=0.90\r\n"
      "Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"4b1e3f5a\",uri=\"sip:pbx.example.org\",response=\"3cbfea00efc35c64fe68ca1454c6d275\",opaque=\"\",algorithm=MD5\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Max-Forwards: 20\r\n"
      "Expires: 3600\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildRegisterAuth(*account));
}

TEST_F(Builders, RegisterAuthUsesServerOpaqueAsClientNonce) {
  Challenge(*account, "407", "voip", "4b1e3f5a", "auth", "abc");
  std::string text = BuildRegisterAuth(*account);
  EXPECT_NE(text.find("\r\nProxy-Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"4b1e3f5a\",uri=\"sip:pbx.example.org\",response=\"b399931bd912b7b4d732c251c8882252\",qop=auth,cnonce=\"abc\",nc=00000001,opaque=\"abc\",algorithm=MD5\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(account->GetChallenge().Opaque, "abc");
}

// qop without opaque: a client nonce is made, stored and then reused.
TEST_F(Builders, RegisterAuthMakesAndKeepsClientNonce) {
  Challenge(*account, "401", "voip", "4b1e3f5a", "auth", "");
  std::string text = BuildRegisterAuth(*account);
  std::string cnonce = account->GetChallenge().Opaque;
  ASSERT_EQ(cnonce.size(), 32u);
  std::string ha1 = RefMd5("1001:voip:s3cret");
  std::string ha2 = RefMd5("REGISTER:sip:pbx.example.org");
  std::string response = RefMd5(ha1 + ":4b1e3f5a:00000001:" + cnonce + ":auth:" + ha2);
  EXPECT_NE(text.find("\r\nAuthorization: Digest username=\"1001\",realm=\"voip\",nonce=\"4b1e3f5a\",uri=\"sip:pbx.example.org\",response=\"" +
                      response + "\",cnonce=\"" + cnonce + "\",nc=00000001,qop=auth,algorithm=MD5\r\n"),
            std::string::npos)
      << text;
  // The next retry finds qop and a filled opaque field: the same nonce both ways.
  text = BuildRegisterAuth(*account);
  EXPECT_NE(text.find(",qop=auth,cnonce=\"" + cnonce + "\",nc=00000001,opaque=\"" + cnonce + "\","),
            std::string::npos)
      << text;
}

TEST_F(Builders, Unregister) {
  EXPECT_WIRE(
      "REGISTER sip:pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK4A1F03C2D9\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1001@pbx.example.org>\r\n"
      "Call-ID: 0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4\r\n"
      "CSeq: 7 REGISTER\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>;expires=0\r\n"  // ours only, never "*"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Max-Forwards: 20\r\n"
      "Expires: 0\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildUnregister(*account));
}

TEST_F(Builders, UnregisterAuthQuotesQopAndSendsEmptyOpaque) {
  Challenge(*account, "401", "voip", "4b1e3f5a", "auth", "");
  EXPECT_WIRE(
      "REGISTER sip:pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK4A1F03C2D9\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1001@pbx.example.org>\r\n"
      "Call-ID: 0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4\r\n"
      "CSeq: 7 REGISTER\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>;expires=0\r\n"
      "Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"4b1e3f5a\",uri=\"sip:pbx.example.org\",response=\"76e5e5c9d80d46df1e9ff8147962002f\",qop=\"auth\",cnonce=\"\",nc=00000001,opaque=\"\",algorithm=MD5\r\n"
      "Max-Forwards: 20\r\n"
      "Expires: 0\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildUnregisterAuth(*account));
  EXPECT_EQ(account->GetChallenge().Opaque, "");  // form B makes no client nonce
}

// With an address from STUN, Contact and SDP show it while Via keeps the local one.
TEST_F(Builders, PublicAddressInContactAndSdpButNotInVia) {
  account->SetPublicAddress("203.0.113.7");
  std::string reg = BuildRegister(*account);
  EXPECT_NE(reg.find("\r\nVia: SIP/2.0/UDP 192.168.1.20:5075;rport;"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\r\nContact: <sip:1001@203.0.113.7:5075>;expires=3600;q=0.90\r\n"), std::string::npos) << reg;
  std::string invite = BuildInvite(*outgoing, "0 8 3");
  EXPECT_NE(invite.find("\r\nVia: SIP/2.0/UDP 192.168.1.20:5075;rport;"), std::string::npos) << invite;
  EXPECT_NE(invite.find("\r\nContact: <sip:1001@203.0.113.7:5075>\r\n"), std::string::npos) << invite;
  EXPECT_NE(invite.find("\r\no=- 4321 1 IN IP4 203.0.113.7\r\n"), std::string::npos) << invite;
  EXPECT_NE(invite.find("\r\nc=IN IP4 203.0.113.7\r\n"), std::string::npos) << invite;
}

// --- Instant messages -----------------------------------------------------

TEST_F(Builders, MessageWithFreshBranchAndCallId) {
  std::string text = BuildMessage(*account, "1003", "Hello there\r\n");
  std::string masked = MaskAll(MaskAll(text, "branch=z9hG4bK[0-9A-F]{10}\r", "branch=z9hG4bK<fresh>\r"),
                               "Call-ID: [0-9A-F]{32}\r", "Call-ID: <fresh>\r");
  EXPECT_WIRE(
      "MESSAGE sip:1003@pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK<fresh>\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1003@pbx.example.org>\r\n"
      "Call-ID: <fresh>\r\n"
      "CSeq: 7 MESSAGE\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Max-Forwards: 20\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Length: 11\r\n"
      "\r\n"
      "Hello there",
      masked);
  EXPECT_EQ(text.find(account->GetBranch()), std::string::npos);
  EXPECT_EQ(text.find(account->GetCallId()), std::string::npos);
  EXPECT_NE(TSipMessage(text).CallId, TSipMessage(BuildMessage(*account, "1003", "x")).CallId);
}

TEST_F(Builders, MessageLosesOneFinalCrlfAndCountsBytes) {
  auto body = [&](const std::string& text) {
    std::string m = BuildMessage(*account, "1003", text);
    return m.substr(m.find("Content-Length: "));
  };
  EXPECT_EQ(body("ok\r\n"), "Content-Length: 2\r\n\r\nok");
  EXPECT_EQ(body("ok\r\n\r\n"), "Content-Length: 4\r\n\r\nok\r\n");
  EXPECT_EQ(body("ok\n"), "Content-Length: 3\r\n\r\nok\n");
  EXPECT_EQ(body("se\xc3\xb1or"), "Content-Length: 6\r\n\r\nse\xc3\xb1or");  // UTF-8 n-tilde: 2 bytes
  EXPECT_EQ(body(""), "Content-Length: 0\r\n\r\n");
}

TEST_F(Builders, MessageAuthRetriesTheChallengedMessage) {
  account->SetCSeq(9);
  account->SetMessageText("Hello there\r\n");
  std::string text = BuildMessageAuth(TSipMessage(kMessage407), *account, "1003");
  // A new transaction: our own Via with a fresh branch, not the challenged one's.
  EXPECT_EQ(text.find("z9hG4bK9E8D7C6B5A"), std::string::npos);
  EXPECT_WIRE(
      "MESSAGE sip:1003@pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK<fresh>\r\n"
      "From: <sip:1001@pbx.example.org>;tag=8F3A1C2B7\r\n"
      "To: <sip:1003@pbx.example.org>\r\n"
      "Call-ID: E1D2C3B4A5F60718293A4B5C6D7E8F90\r\n"
      "Record-Route: <sip:192.168.1.1;lr>\r\n"
      "CSeq: 9 MESSAGE\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Max-Forwards: 20\r\n"
      "Proxy-Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"3f9a12c4\",uri=\"sip:1003@pbx.example.org\",response=\"7a6e8e6e8f6b2c82ba501def33ef9bd1\",qop=\"auth\",cnonce=\"xyz\",nc=00000001,opaque=\"xyz\",algorithm=MD5\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Length: 11\r\n"
      "\r\n"
      "Hello there",
      MaskAll(text, "branch=z9hG4bK[0-9A-F]{10}\r", "branch=z9hG4bK<fresh>\r"));
}

// --- INVITE and its offer ---------------------------------------------------

TEST_F(Builders, Invite) {
  outgoing->SetRemoteTag("");  // a new call has no remote tag yet
  EXPECT_WIRE(
      "INVITE sip:1002@pbx.example.org SIP/2.0\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bKC0FFEE1234\r\n"
      "CSeq: 21 INVITE\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Max-Forwards: 20\r\n"
      "Content-Type: application/sdp\r\n"
      "Content-Length: 266\r\n"
      "\r\n" + kOfferSdp,
      BuildInvite(*outgoing, "0 8 3"));
}

TEST_F(Builders, HoldOfferHidesOnlyTheConnectionAddress) {
  outgoing->SetMediaDirection("sendonly");
  std::string text = BuildInvite(*outgoing, "0 8 3");
  std::string sdp = text.substr(text.find("\r\n\r\n") + 4);
  EXPECT_WIRE(
      "v=0\r\n"
      "o=- 4321 1 IN IP4 192.168.1.20\r\n"
      "s=Corvale SIP component\r\n"
      "c=IN IP4 0.0.0.0\r\n"
      "t=0 0\r\n"
      "m=audio 20002 RTP/AVP 0 8 3 101\r\n"
      "a=rtpmap:0 PCMU/8000\r\n"
      "a=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:3 GSM/8000\r\n"
      "a=rtpmap:101 telephone-event/8000\r\n"
      "a=fmtp:101 0-15\r\n"
      "a=ptime:20\r\n"
      "a=sendonly\r\n",
      sdp);
  // A re-INVITE inside the dialog carries the remote tag.
  EXPECT_NE(text.find("\r\nTo: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"), std::string::npos);
}

TEST_F(Builders, EmptyPayloadListLeavesTwoBlanksBefore101) {
  std::string text = BuildInvite(*outgoing, "");
  EXPECT_NE(text.find("\r\nm=audio 20002 RTP/AVP  101\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Content-Length: 196\r\n"), std::string::npos) << text;
}

// auth-int hashes the MD5 of this very SDP body; the line is kept on the call.
TEST_F(Builders, InviteAuthWithAuthInt) {
  outgoing->SetRemoteTag("");
  Challenge(*outgoing, "407", "voip", "6a7b8c9d", "auth-int", "op42");
  const std::string credentials =
      "Proxy-Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"6a7b8c9d\",uri=\"sip:1002@pbx.example.org\",response=\"39219e01cd69ded56a6c460d0f4bd24c\",qop=\"auth-int\",cnonce=\"op42\",nc=00000001,opaque=\"op42\",algorithm=MD5\r\n";
  EXPECT_WIRE(
      "INVITE sip:1002@pbx.example.org SIP/2.0\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bKC0FFEE1234\r\n"
      "CSeq: 21 INVITE\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Max-Forwards: 20\r\n" + credentials +
      "Content-Type: application/sdp\r\n"
      "Content-Length: 266\r\n"
      "\r\n" + kOfferSdp,
      BuildInviteAuth(*outgoing, "0 8 3"));
  EXPECT_EQ(outgoing->GetAuthHeader(), credentials);
  EXPECT_EQ(outgoing->GetChallenge().Opaque, "op42");
}

TEST_F(Builders, QopAuthNeverHashesTheBody) {
  outgoing->SetRemoteTag("");  // the first INVITE's retry: no dialog yet
  Challenge(*outgoing, "407", "voip", "6a7b8c9d", "auth", "op42");
  const std::string response = "response=\"ad14bdf9ce07b116a5c5a43f8b28c0e3\"";
  EXPECT_NE(BuildInviteAuth(*outgoing, "0 8 3").find(response), std::string::npos);
  EXPECT_NE(BuildInviteAuth(*outgoing, "8").find(response), std::string::npos);
}

TEST_F(Builders, InviteAuthMakesClientNonceAndQuotesQop) {
  outgoing->SetRemoteTag("");  // the first INVITE's retry: no dialog yet
  Challenge(*outgoing, "401", "voip", "6a7b8c9d", "auth", "");
  std::string text = BuildInviteAuth(*outgoing, "0 8 3");
  std::string cnonce = outgoing->GetChallenge().Opaque;
  ASSERT_EQ(cnonce.size(), 32u);
  std::string response = RefMd5(RefMd5("1001:voip:s3cret") + ":6a7b8c9d:00000001:" + cnonce +
                                ":auth:" + RefMd5("INVITE:sip:1002@pbx.example.org"));
  std::string line = "Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"6a7b8c9d\",uri=\"sip:1002@pbx.example.org\",response=\"" +
                     response + "\",cnonce=\"" + cnonce + "\",nc=00000001,qop=\"auth\",algorithm=MD5\r\n";
  EXPECT_NE(text.find("\r\n" + line), std::string::npos) << text;
  EXPECT_EQ(outgoing->GetAuthHeader(), line);
}

// The response is hashed over the uri parameter actually sent, also when the
// dialled text named its own host and the remote URI is not user@Domain.
TEST_F(Builders, CallCredentialsHashTheUriTheySend) {
  outgoing->SetRemoteUser("2001@other.example.net");
  outgoing->SetRemoteUri("sip:2001@other.example.net");
  outgoing->SetRemoteTag("");  // the first INVITE's retry: no dialog yet
  Challenge(*outgoing, "407", "voip", "6a7b8c9d", "", "");
  std::string response = RefMd5(RefMd5("1001:voip:s3cret") + ":6a7b8c9d:" +
                                RefMd5("INVITE:sip:2001@other.example.net"));
  std::string text = BuildInviteAuth(*outgoing, "0");
  EXPECT_NE(text.find(",uri=\"sip:2001@other.example.net\",response=\"" + response + "\",algorithm=MD5\r\n"),
            std::string::npos)
      << text;
}

// --- Other requests of a call -----------------------------------------------

TEST_F(Builders, InfoDtmfWithFreshBranch) {
  std::string text = BuildInfoDtmf(*incoming, "5");
  EXPECT_WIRE(
      "INFO sip:1002@192.168.1.30:5062 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;branch=z9hG4bK<fresh>\r\n"
      "Route: <sip:192.168.1.1;lr>\r\n"
      "Route: <sip:10.0.0.1;lr>\r\n"
      "From: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 22 INFO\r\n"
      "Max-Forwards: 20\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Content-Type: application/dtmf-relay\r\n"
      "Content-Length: 26\r\n"
      "\r\n"
      "Signal= 5\r\n"
      "Duration= 160\r\n",
      MaskAll(text, "branch=z9hG4bK[0-9A-F]{10}\r", "branch=z9hG4bK<fresh>\r"));
  EXPECT_EQ(text.find(incoming->GetBranch()), std::string::npos);
}

// RFC 3261 22.1: a CANCEL cannot be challenged, so it never carries credentials.
TEST_F(Builders, CancelCarriesNoCredentials) {
  EXPECT_WIRE(
      "CANCEL sip:1002@pbx.example.org SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;branch=z9hG4bKC0FFEE1234;rport\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "CSeq: 21 CANCEL\r\n"
      "Max-Forwards: 20\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildCancel(*outgoing));
}

TEST_F(Builders, CancelReusesTheViaLinesOfTheInviteResponses) {
  const std::string via = "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bKC0FFEE1234\r\n";
  outgoing->SetViaHeaders(via);
  std::string text = BuildCancel(*outgoing);
  EXPECT_EQ(text.substr(0, text.find("From: ")), "CANCEL sip:1002@pbx.example.org SIP/2.0\r\n" + via);
}

TEST_F(Builders, Refer) {
  EXPECT_WIRE(
      "REFER sip:1002@192.168.1.30:5062 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;branch=z9hG4bKC0FFEE1234;rport\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "Refer-To: <sip:1003@pbx.example.org>\r\n"
      "Referred-By: <sip:1001@pbx.example.org>\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "CSeq: 21 REFER\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildRefer(*outgoing, "1003"));
}

TEST_F(Builders, ReferAuthWithoutQopAddsNothingAfterResponse) {
  Challenge(*outgoing, "401", "voip", "0badc0de", "", "");
  EXPECT_WIRE(
      "REFER sip:1002@192.168.1.30:5062 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;branch=z9hG4bKC0FFEE1234;rport\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "Authorization: Digest username=\"1001\",realm=\"voip\",nonce=\"0badc0de\",uri=\"sip:1002@192.168.1.30:5062\",response=\"aea41f65d579b105def7ca15301143d0\",algorithm=MD5\r\n"
      "Refer-To: <sip:1003@pbx.example.org>\r\n"
      "Referred-By: <sip:1001@pbx.example.org>\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "CSeq: 21 REFER\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildReferAuth(*outgoing, "1003"));
}

// On a call we answered the Via lines kept are the caller's; a REFER is a
// request of ours, a transaction of its own: our Via, the call's new branch.
TEST_F(Builders, ReferOnACallWeAnsweredCarriesOurVia) {
  incoming->SetBranch("z9hG4bKAB12CD34EF");
  std::string refer = BuildRefer(*incoming, "1003");
  EXPECT_EQ(refer.find("192.168.1.30:5062;received"), std::string::npos) << refer;
  EXPECT_EQ(refer.find("z9hG4bK2d4790a1"), std::string::npos) << refer;
  EXPECT_NE(refer.find(" SIP/2.0\r\nVia: SIP/2.0/UDP 192.168.1.20:5075;branch=z9hG4bKAB12CD34EF;rport\r\n"),
            std::string::npos) << refer;
}

// Inside a dialog a request goes to the peer's Contact along the route set:
// the callee keeps the Record-Route order, the caller reverses it.
TEST_F(Builders, InDialogRequestsFollowTheRouteSet) {
  std::string reinvite = BuildInvite(*incoming, "0");
  EXPECT_EQ(reinvite.substr(0, reinvite.find("\r\n")), "INVITE sip:1002@192.168.1.30:5062 SIP/2.0");
  EXPECT_NE(reinvite.find(";branch=z9hG4bK1122334455\r\nRoute: <sip:192.168.1.1;lr>\r\nRoute: <sip:10.0.0.1;lr>\r\nCSeq: "),
            std::string::npos) << reinvite;
  TSipMessage ok(kInvite200);
  outgoing->SetRouteSet(TSipMessage(kIncomingInvite));  // two entries, as a caller keeps them
  std::string ack = BuildAck(*outgoing, ok);
  EXPECT_NE(ack.find("\r\nRoute: <sip:10.0.0.1;lr>,<sip:192.168.1.1;lr>\r\nMax-Forwards: "), std::string::npos) << ack;
  std::string refer = BuildRefer(*outgoing, "1003");
  EXPECT_EQ(refer.substr(0, refer.find("\r\n")), "REFER sip:1002@192.168.1.30:5062 SIP/2.0");
  EXPECT_NE(refer.find(";rport\r\nRoute: <sip:10.0.0.1;lr>,<sip:192.168.1.1;lr>\r\nFrom: "), std::string::npos) << refer;
}

TEST_F(Builders, ByeWithRouteLinesInArrivalOrder) {
  EXPECT_WIRE(
      "BYE sip:1002@192.168.1.30:5062 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport;branch=z9hG4bK1122334455\r\n"
      "Route: <sip:192.168.1.1;lr>\r\n"
      "Route: <sip:10.0.0.1;lr>\r\n"
      "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "From: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "Max-Forwards: 20\r\n"
      "CSeq: 22 BYE\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildBye(*incoming));
}

TEST_F(Builders, AckOfTwoHundredTargetsItsContact) {
  EXPECT_WIRE(
      "ACK sip:1002@192.168.1.1:5060 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bKC0FFEE1234;received=192.168.1.20\r\n"
      "Max-Forwards: 20\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "CSeq: 21 ACK\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildAck(*outgoing, TSipMessage(kInvite200)));
}

TEST_F(Builders, AckFromResponseWithoutContactTargetsToUser) {
  EXPECT_WIRE(
      "ACK sip:1002@pbx.example.org:5060 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5075;rport=5075;branch=z9hG4bKC0FFEE1234\r\n"
      "Max-Forwards: 20\r\n"
      "From: <sip:1001@pbx.example.org>;tag=A1B2C3D4E\r\n"
      "To: <sip:1002@pbx.example.org:5060>;tag=b80e9d8c7b\r\n"
      "Call-ID: 5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A\r\n"
      "CSeq: 21 ACK\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildAckFromResponse(TSipMessage(kInvite486)));
}

// --- Responses to the call's INVITE -------------------------------------------

TEST_F(Builders, InviteOkWithSdpAnswer) {
  incoming->SetCodec(std::make_shared<TFakeCodec>(8));
  EXPECT_WIRE(
      "SIP/2.0 200 OK\r\n" + kIncomingVias +
      "To: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "From: \"Bob\" <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Record-Route: <sip:192.168.1.1;lr>\r\n"
      "Record-Route: <sip:10.0.0.1;lr>\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 102 INVITE\r\n"
      "Contact: <sip:1001@192.168.1.20:5075>\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Content-Type: application/sdp\r\n"
      "Content-Length: 185\r\n"
      "\r\n"
      "v=0\r\n"
      "o=- 1300 0 IN IP4 192.168.1.20\r\n"
      "s=Corvale SIP component\r\n"
      "c=IN IP4 192.168.1.20\r\n"
      "t=0 0\r\n"
      "m=audio 20004 RTP/AVP 8 101\r\n"
      "a=rtpmap:101 telephone-event/8000\r\n"
      "a=fmtp:101 0-16\r\n"
      "a=sendrecv\r\n",
      BuildInviteOk(*incoming));
}

TEST_F(Builders, InviteOkWithoutCodecStillBuilds) {
  std::string text = BuildInviteOk(*incoming);
  EXPECT_NE(text.find("\r\nm=audio 20004 RTP/AVP  101\r\n"), std::string::npos) << text;
}

TEST_F(Builders, Redirect) {
  EXPECT_WIRE(
      "SIP/2.0 302 Moved Temporarily\r\n" + kIncomingVias +
      "To: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "From: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Record-Route: <sip:192.168.1.1;lr>\r\n"
      "Record-Route: <sip:10.0.0.1;lr>\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 102 INVITE\r\n"
      "Contact: <sip:1003@pbx.example.org>\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildRedirect(*incoming, "1003"));
}

TEST_F(Builders, InviteResponse) {
  EXPECT_WIRE(
      "SIP/2.0 180 Ringing\r\n" + kIncomingVias +
      "To: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "From: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Record-Route: <sip:192.168.1.1;lr>\r\n"
      "Record-Route: <sip:10.0.0.1;lr>\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 102 INVITE\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildInviteResponse(*incoming, "180 Ringing"));
}

// --- Responses that echo a request ------------------------------------------

TEST_F(Builders, ResponseEchoesToBeforeFromWithoutAddingATag) {
  EXPECT_WIRE(
      "SIP/2.0 100 Trying\r\n" + kIncomingVias +
      "To: <sip:1001@pbx.example.org>\r\n"
      "From: \"Bob\" <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "Record-Route: <sip:192.168.1.1;lr>\r\n"
      "Record-Route: <sip:10.0.0.1;lr>\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 102 INVITE\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildResponse(TSipMessage(kIncomingInvite), "100 Trying"));
}

TEST_F(Builders, Ok) {
  EXPECT_WIRE(
      "SIP/2.0 200 OK\r\n"
      "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK5e6f7a8b;rport\r\n"
      "From: <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "To: <sip:1001@pbx.example.org>;tag=77E1D2C3B\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 103 INFO\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildOk(TSipMessage(kIncomingInfo)));
}

TEST_F(Builders, OptionsOk) {
  EXPECT_WIRE(
      "SIP/2.0 200 OK\r\n"
      "Via: SIP/2.0/UDP 192.168.1.1:5060;branch=z9hG4bK0c1d2e3f;rport\r\n"
      "To: <sip:1001@192.168.1.20:5075>\r\n"
      "From: \"PBX\" <sip:pbx@192.168.1.1>;tag=b812ab34cd\r\n"
      "CSeq: 102 OPTIONS\r\n"
      "Accept: application/sdp\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE\r\n"
      "Call-ID: 7a1b2c3d4e5f@192.168.1.1\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildOptionsOk(TSipMessage(kOptions)));
}

TEST_F(Builders, NotAcceptable) {
  EXPECT_WIRE(
      "SIP/2.0 488 Not Acceptable Here\r\n" + kIncomingVias +
      "From: \"Bob\" <sip:1002@pbx.example.org>;tag=b85f3e2a1b\r\n"
      "To: <sip:1001@pbx.example.org>\r\n"
      "Call-ID: 3c26700c5b8e-kf9pw1x@192.168.1.30\r\n"
      "CSeq: 102 INVITE\r\n"
      "Content-Length: 0\r\n"
      "\r\n",
      BuildNotAcceptable(TSipMessage(kIncomingInvite)));
}

}  // namespace
}  // namespace qv::test
