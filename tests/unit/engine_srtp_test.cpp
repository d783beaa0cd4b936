// SRTP in the engine's offers and answers, against a scripted peer: what each
// mode puts in the SDP, which calls it refuses and how, and that a refused
// call sends no media.
#include <gtest/gtest.h>

#include "dialogs/call.h"
#include "engine/srtpcalls.h"
#include "sip/sdes.h"
#include "support/engine_fixture.h"
#include "support/rtp_helpers.h"

using namespace qv;
using namespace qv::test;

namespace {

class SrtpEngineTest : public EngineTest {
protected:
  void Secure(TSrtpMode mode) {
    account->SetSrtpMode(mode);
    account->SetSrtpKeysWithoutTls(true);  // the scripted peer speaks UDP
  }
  std::string Contact() const { return "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n"; }
};

const std::string kPeerKey = Base64Encode(std::string(30, 'k'));

std::string CryptoSdp(int port, const std::string& profile, const std::string& crypto) {
  return "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
         "m=audio " + std::to_string(port) + " " + profile + " 0 101\r\n"
         "a=rtpmap:101 telephone-event/8000\r\na=sendrecv\r\n" + crypto;
}

std::vector<std::string> CryptoLines(const std::string& sdp) {
  std::vector<std::string> lines;
  for (size_t at = sdp.find("a=crypto:"); at != std::string::npos; at = sdp.find("a=crypto:", at + 1))
    lines.push_back(sdp.substr(at, sdp.find("\r\n", at) - at));
  return lines;
}

TEST_F(SrtpEngineTest, OffersFollowTheModeAndKeysStayOffPlainTransportsUnlessAllowed) {
  // Optional, keys not allowed over UDP: the offer is what it always was.
  account->SetSrtpMode(TSrtpMode::Optional);
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string offer = Body(peer.Expect("INVITE "));
  EXPECT_NE(offer.find(" RTP/AVP 0 8 3"), std::string::npos);
  EXPECT_EQ(offer.find("a=crypto"), std::string::npos);
  engine->HangUp(call);
  peer.Expect("CANCEL ");
  engine->DropCall(call);

  // Mandatory without TLS: no call at all, nothing sent, nothing listed.
  account->SetSrtpMode(TSrtpMode::Mandatory);
  try {
    engine->Invite(account, "bob", -1, -1);
    ADD_FAILURE() << "a call went out without SRTP";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), kSrtpNeedsTls);
  }
  peer.Quiet(200);

  // Allowed: optional keeps RTP/AVP, mandatory says RTP/SAVP; both suites, one key.
  Secure(TSrtpMode::Optional);
  call = engine->Invite(account, "bob", -1, -1);
  offer = Body(peer.Expect("INVITE "));
  EXPECT_NE(offer.find(" RTP/AVP 0 8 3"), std::string::npos);
  std::vector<std::string> lines = CryptoLines(offer);
  ASSERT_EQ(lines.size(), 2u) << offer;
  EXPECT_EQ(lines[0].substr(0, 42), "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:");
  EXPECT_EQ(lines[1].substr(0, 42), "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:");
  EXPECT_EQ(lines[0].substr(42), lines[1].substr(42));
  engine->HangUp(call);
  peer.Expect("CANCEL ");
  engine->DropCall(call);
  Secure(TSrtpMode::Mandatory);
  call = engine->Invite(account, "bob", -1, -1);
  offer = Body(peer.Expect("INVITE "));
  EXPECT_NE(offer.find(" RTP/SAVP 0 8 3"), std::string::npos) << offer;
  EXPECT_NE(CryptoLines(offer)[0].substr(42), lines[0].substr(42)) << "every call has a key of its own";
  engine->HangUp(call);
  peer.Expect("CANCEL ");
  engine->DropCall(call);
}

TEST_F(SrtpEngineTest, AnsweredCallIsEncryptedAndHoldReofferKeepsItsKey) {
  Secure(TSrtpMode::Optional);
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  const std::string ourLine = CryptoLines(Body(invite))[1];
  ToEngine(Respond(invite, "200 OK", "bobtag", Contact(),
                   CryptoSdp(41000, "RTP/AVP", "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + kPeerKey + "\r\n")));
  peer.Expect("ACK ");
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  TCallSrtp srtp = call->GetSrtp();
  EXPECT_EQ(srtp.Suite, kSrtpAes128Sha1_32);
  EXPECT_EQ(srtp.RemoteKey, std::string(30, 'k'));
  EXPECT_TRUE(std::dynamic_pointer_cast<TCall>(call)->Media().Encrypted());

  engine->Hold(call);
  std::string hold = peer.Expect("INVITE ");
  EXPECT_EQ(CryptoLines(Body(hold))[1], ourLine);
  // The answer to the re-offer drops SRTP: optional takes it, plain from now on.
  ToEngine(Respond(hold, "200 OK", "", Contact(), CryptoSdp(41000, "RTP/AVP", "")));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  EXPECT_FALSE(call->GetSrtp().Active());
  EXPECT_FALSE(std::dynamic_pointer_cast<TCall>(call)->Media().Encrypted());
}

// The peer answers a mandatory offer with plain RTP: the dialog it made is
// acknowledged and ended, and not one RTP packet reaches it.
TEST_F(SrtpEngineTest, MandatoryCallAnsweredWithoutSrtpEndsWith488AndSendsNoMedia) {
  Secure(TSrtpMode::Mandatory);
  TRtpPeer media;
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "183 Session Progress", "bobtag", Contact(), CryptoSdp(media.Port(), "RTP/AVP", "")));
  ASSERT_TRUE(Sync());
  EXPECT_FALSE(call->GetMediaActive()) << "no early media in the clear";
  ToEngine(Respond(invite, "200 OK", "bobtag", Contact(), CryptoSdp(media.Port(), "RTP/AVP", "")));
  peer.Expect("ACK ");
  std::string bye = peer.Expect("BYE ");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetEndStatus(), "488");
  EXPECT_EQ(events->Count(MsgCallAnswered), 0);
  // Listed until the BYE is answered, then gone.
  ToEngine(Respond(bye, "200 OK", "bobtag"));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(engine->FindCallByCallId(call->GetCallId()), nullptr);
  std::vector<uint8_t> datagram;
  EXPECT_FALSE(media.Receive(datagram, 300));
}

TEST_F(SrtpEngineTest, IncomingOffersPerMode) {
  const std::string crypto = "a=crypto:7 AES_CM_128_HMAC_SHA1_80 inline:" + kPeerKey + "\r\n";
  // SRTP off: an RTP/SAVP offer cannot be served. Before, it was answered
  // with plain RTP that the caller could not use.
  ToEngine(IncomingInvite("savp-off", 1, CryptoSdp(40000, "RTP/SAVP", crypto)));
  peer.Expect("SIP/2.0 488 Not Acceptable Here");
  // Off, and a best-effort offer (RTP/AVP with keys): a plain call, as always.
  ISipCallPtr plain = RingIncoming(IncomingInvite("avp-off", 1, CryptoSdp(40000, "RTP/AVP", crypto)));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->GetSrtp().Active());
  engine->Answer(plain);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Body(ok).find("a=crypto"), std::string::npos);
  EXPECT_NE(Body(ok).find(" RTP/AVP 0 101"), std::string::npos);

  // Mandatory: a plain offer is refused; an SRTP one answered in its profile
  // with its tag and a key of ours.
  Secure(TSrtpMode::Mandatory);
  ToEngine(IncomingInvite("avp-mand", 1, CryptoSdp(40000, "RTP/AVP", "")));
  peer.Expect("SIP/2.0 488 Not Acceptable Here");
  const std::string invite = IncomingInvite("savp-mand", 1, CryptoSdp(40002, "RTP/SAVP", crypto));
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_NE(Body(ok).find(" RTP/SAVP 0 101"), std::string::npos) << Body(ok);
  std::vector<std::string> lines = CryptoLines(Body(ok));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 42), "a=crypto:7 AES_CM_128_HMAC_SHA1_80 inline:");
  EXPECT_NE(lines[0].substr(42), kPeerKey);
  EXPECT_TRUE(std::dynamic_pointer_cast<TCall>(call)->Media().Encrypted());

  // A re-INVITE that would take SRTP away is refused; the call stays secure.
  ToEngine(InDialogRequest(invite, "INVITE", 2, "", CryptoSdp(40002, "RTP/AVP", ""), "application/sdp"));
  peer.Expect("SIP/2.0 488 Not Acceptable Here");
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetSrtp().Active());
}

}  // namespace
