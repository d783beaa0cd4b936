// Outgoing calls against a scripted peer: challenge, ringing, early media,
// answer, refusals, CANCEL, BYE, hold and resume, transfer, DTMF by INFO,
// instant messages and the set-up time-out.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/errors.h"
#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

using OutgoingTest = EngineTest;

std::string ContactOf(const TUdpPeer& peer) {
  return "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n";
}

TEST_F(OutgoingTest, ChallengeRingingAndAnswer) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string first = peer.Expect("INVITE sip:bob@127.0.0.1 SIP/2.0");
  EXPECT_EQ(call->GetState(), csInviteSent);
  EXPECT_NE(Body(first).find("m=audio " + std::to_string(call->GetLocalRtpPort()) + " RTP/AVP 0 8 3"),
            std::string::npos);

  ToEngine(Respond(first, "407 Proxy Authentication Required", "px", kProxyAuthenticate));
  std::string ack = peer.Expect("ACK sip:bob@127.0.0.1 SIP/2.0");
  EXPECT_EQ(CSeqNumber(ack), CSeqNumber(first));
  std::string second = peer.Expect("INVITE ");
  EXPECT_EQ(call->GetState(), csInviteAuthSent);
  EXPECT_NE(Header(second, "Proxy-Authorization").find("nonce=\"a1b2c3d4e5f6\""), std::string::npos);
  EXPECT_GT(CSeqNumber(second), CSeqNumber(first));
  EXPECT_EQ(Header(second, "Call-ID"), Header(first, "Call-ID"));
  EXPECT_NE(Header(second, "Via"), Header(first, "Via"));  // a new branch

  ToEngine(Respond(second, "100 Trying"));
  ToEngine(Respond(second, "180 Ringing", "bobtag", ContactOf(peer)));
  ASSERT_TRUE(events->WaitFor(MsgRingback));
  EXPECT_EQ(call->GetState(), csRinging);
  EXPECT_FALSE(call->GetMediaActive());  // no SDP, no early media

  ToEngine(Respond(second, "200 OK", "bobtag", ContactOf(peer), Sdp(41000, "8 0")));
  std::string ack2 = peer.Expect("ACK sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + " SIP/2.0");
  EXPECT_EQ(CSeqNumber(ack2), CSeqNumber(second));
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetMediaActive());
  EXPECT_EQ(call->GetRemoteRtpPort(), 41000);
  EXPECT_EQ(call->GetRemoteRtpAddress(), "127.0.0.1");
  ASSERT_TRUE(call->GetCodec());
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 0);  // our preference, not the peer's order
  EXPECT_EQ(call->GetRemoteTag(), "bobtag");
  EXPECT_EQ(call->GetLastResponseCode(), 200);
  peer.Quiet(100);
}

// Our offer names every payload type; the answer's numbers are what we send
// under: telephone events under its 96, none when it has none.
TEST_F(OutgoingTest, AnswerDecidesTheNumbersWeSendUnder) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  std::string offer = Body(invite);
  EXPECT_NE(offer.find("a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:3 GSM/8000\r\n"),
            std::string::npos) << offer;
  EXPECT_NE(offer.find("a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n"), std::string::npos);
  if (offer.find(" 110 101\r\n") != std::string::npos) {
    EXPECT_NE(offer.find("a=rtpmap:110 speex/8000\r\n"), std::string::npos) << offer;
  }
  ToEngine(Respond(invite, "183 Session Progress", "bobtag", ContactOf(peer),
                   "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 41000 RTP/AVP 0 96\r\n"
                   "a=rtpmap:96 telephone-event/8000\r\na=ptime:10\r\n"));
  ASSERT_TRUE(Sync());
  TRtpPayloadMap map = call->GetPayloadMap();
  EXPECT_EQ(map.Received[96], TRtpPayloadMap::kEvent);
  EXPECT_EQ(map.Received[101], TRtpPayloadMap::kEvent) << "what we offered";
  EXPECT_EQ(map.SendPacketMs, 10);
  ToEngine(Respond(invite, "200 OK", "bobtag", ContactOf(peer),
                   "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 41000 RTP/AVP 0\r\n"));
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetPayloadMap().SendEventType, -1) << "the final answer has no telephone-event";
  EXPECT_EQ(call->GetPayloadMap().SendPacketMs, 20);
}

// An account that never registered still calls: its server is resolved and
// our port put into Via and Contact, instead of a call sent nowhere.
TEST_F(OutgoingTest, CallFromAnAccountThatNeverRegistered) {
  ISipAccountPtr fresh = engine->AddAccount("", "127.0.0.1:" + std::to_string(peer.Port()), "carol", "pw", "");
  ISipCallPtr call = engine->Invite(fresh, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE sip:bob@127.0.0.1 SIP/2.0");
  EXPECT_EQ(fresh->GetServer(), "127.0.0.1");
  std::string contact = Header(invite, "Contact");
  EXPECT_EQ(contact.substr(contact.rfind(':')), ":" + std::to_string(EnginePort()) + ">");
  EXPECT_EQ(call->GetState(), csInviteSent);
}

TEST_F(OutgoingTest, SecondChallengeEndsTheCall) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string first = peer.Expect("INVITE ");
  ToEngine(Respond(first, "407 Proxy Authentication Required", "p1", kProxyAuthenticate));
  peer.Expect("ACK ");
  std::string second = peer.Expect("INVITE ");
  ToEngine(Respond(second, "407 Proxy Authentication Required", "p2", kProxyAuthenticate));
  peer.Expect("ACK ");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_EQ(call->GetEndStatus(), "407");
  EXPECT_EQ(engine->Calls().Count(), 0);
  peer.Quiet();
}

// 403 and the final failures: one ACK, no retry, the status kept.
TEST_F(OutgoingTest, FinalRefusalsAreAcknowledgedOnce) {
  for (const char* status : {"403 Forbidden", "486 Busy Here", "603 Decline", "404 Not Found"}) {
    SCOPED_TRACE(status);
    ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
    std::string invite = peer.Expect("INVITE ");
    ToEngine(Respond(invite, "100 Trying"));
    ToEngine(Respond(invite, status, "bobtag"));
    std::string ack = peer.Expect("ACK ");
    EXPECT_EQ(Header(ack, "To"), Header(invite, "To") + ";tag=bobtag");
    ASSERT_TRUE(CallEnded());
    EXPECT_EQ(call->GetEndStatus(), std::string(status, 3));
    EXPECT_EQ(engine->Calls().Count(), 0);
    peer.Quiet(150);
  }
}

TEST_F(OutgoingTest, EarlyMediaWithoutRingback) {
  ISipCallPtr call = engine->Invite(account, "bob@127.0.0.1", -1, -1);
  std::string invite = peer.Expect("INVITE sip:bob@127.0.0.1 SIP/2.0");
  ToEngine(Respond(invite, "183 Session Progress", "bobtag", ContactOf(peer), Sdp(42000, "8")));
  events->Pump(200);
  EXPECT_EQ(call->GetState(), csRinging);
  EXPECT_TRUE(call->GetMediaActive());
  EXPECT_EQ(call->GetRemoteRtpPort(), 42000);
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 8);
  EXPECT_EQ(events->Count(MsgRingback), 0);
}

TEST_F(OutgoingTest, CancelOfARingingCall) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "100 Trying"));
  ToEngine(Respond(invite, "180 Ringing", "bobtag", ContactOf(peer)));
  ASSERT_TRUE(events->WaitFor(MsgRingback));
  engine->HangUp(call);
  std::string cancel = peer.Expect("CANCEL sip:bob@127.0.0.1 SIP/2.0");
  // RFC 3261 9.1: the CANCEL carries the INVITE's branch and CSeq number.
  EXPECT_EQ(Header(cancel, "Via").substr(0, Header(invite, "Via").size()), Header(invite, "Via"));
  EXPECT_EQ(Header(cancel, "CSeq"), std::to_string(CSeqNumber(invite)) + " CANCEL");
  ToEngine(Respond(cancel, "200 OK", "bobtag"));
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  ToEngine(Respond(invite, "487 Request Terminated", "bobtag"));
  peer.Expect("ACK ");
  events->Pump(100);
  EXPECT_EQ(engine->Calls().Count(), 0);
  EXPECT_EQ(events->Count(MsgCallEnded), 0);  // ended once
}

// The 200 to our CANCEL ends the call; when the INVITE's 487 never comes, the
// ended call must still leave the list.
TEST_F(OutgoingTest, CancelledCallWithoutFinalResponseLeavesTheList) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "100 Trying"));
  engine->HangUp(call);
  ToEngine(Respond(peer.Expect("CANCEL "), "200 OK", "bobtag"));
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(engine->Calls().Count(), 1);  // waiting for the 487
  AdvanceClock(121'000);
  engine->Tick();
  EXPECT_EQ(engine->Calls().Count(), 0);
  events->Pump();
  EXPECT_EQ(events->Count(MsgCallEnded), 0);  // no second end
}

TEST_F(OutgoingTest, ByeBothWays) {
  std::string routes = "Record-Route: <sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>\r\n";
  ISipCallPtr ours = ConnectOutgoing(nullptr, routes);
  engine->HangUp(ours);
  std::string bye = peer.Expect("BYE sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + " SIP/2.0");
  EXPECT_EQ(Header(bye, "Route"), "<sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>");
  // Gone for the user at once, media stopped; listed until the BYE's answer.
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(ours->GetState(), csIdle);
  EXPECT_FALSE(ours->GetMediaActive());
  EXPECT_EQ(engine->Calls().Count(), 1);
  ToEngine(Respond(bye, "200 OK"));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(ours->GetEndStatus(), "200");
  EXPECT_EQ(engine->Calls().Count(), 0);

  std::string invite;
  ISipCallPtr theirs = ConnectOutgoing(&invite);
  std::string byeIn = "BYE sip:alice@127.0.0.1 SIP/2.0\r\n"
                      "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";branch=z9hG4bKbye\r\n"
                      "From: " + Header(invite, "To") + ";tag=bobtag\r\n"
                      "To: " + Header(invite, "From") + "\r\n"
                      "Call-ID: " + Header(invite, "Call-ID") + "\r\n"
                      "CSeq: 7 BYE\r\nContent-Length: 0\r\n\r\n";
  ToEngine(byeIn);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "CSeq"), "7 BYE");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(theirs->GetEndStatus(), "");
  EXPECT_EQ(engine->Calls().Count(), 0);
}

TEST_F(OutgoingTest, HoldAndResume) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  std::string hold = peer.Expect("INVITE ");
  EXPECT_EQ(call->GetState(), csHoldSent);
  EXPECT_TRUE(call->GetOnHold());
  std::string sdp = Body(hold);
  EXPECT_NE(sdp.find("c=IN IP4 0.0.0.0\r\n"), std::string::npos) << sdp;
  EXPECT_NE(sdp.find("o=- " + std::to_string(call->GetSdpSessionId()) + " 1 IN IP4 127.0.0.1"), std::string::npos);
  EXPECT_EQ(sdp.substr(sdp.size() - 12), "a=sendonly\r\n");
  EXPECT_NE(Header(hold, "To").find("tag=bobtag"), std::string::npos);

  ToEngine(Respond(hold, "200 OK", "", ContactOf(peer), Sdp(41000, "0", "recvonly")));
  peer.Expect("ACK ");
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetState(), csHoldSent);  // stays on hold

  engine->Unhold(call);
  std::string resume = peer.Expect("INVITE ");
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_NE(Body(resume).find("c=IN IP4 127.0.0.1\r\n"), std::string::npos);
  EXPECT_NE(Body(resume).find("a=sendrecv\r\n"), std::string::npos);
  EXPECT_GT(CSeqNumber(resume), CSeqNumber(hold));
  ToEngine(Respond(resume, "200 OK", "", ContactOf(peer), Sdp(41000, "0")));
  peer.Expect("ACK ");
  EXPECT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetMediaActive());
}

// A challenge to the hold re-INVITE is answered; the 200 that follows
// connects the call again.
TEST_F(OutgoingTest, ChallengedHold) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  std::string hold = peer.Expect("INVITE ");
  ToEngine(Respond(hold, "407 Proxy Authentication Required", "", kProxyAuthenticate));
  peer.Expect("ACK ");
  std::string again = peer.Expect("INVITE ");
  EXPECT_NE(Header(again, "Proxy-Authorization"), "");
  EXPECT_NE(Body(again).find("a=sendonly"), std::string::npos);
  ToEngine(Respond(again, "200 OK", "", ContactOf(peer), Sdp(41000, "0")));
  peer.Expect("ACK ");
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetState(), csConnected);
}

TEST_F(OutgoingTest, TransferChallengedThenNotified) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Transfer(call, "carol");
  std::string refer = peer.Expect("REFER ");
  EXPECT_EQ(call->GetState(), csReferSent);
  EXPECT_EQ(Header(refer, "Refer-To"), "<sip:carol@127.0.0.1>");
  ToEngine(Respond(refer, "407 Proxy Authentication Required", "", kProxyAuthenticate));
  std::string again = peer.Expect("REFER ");
  EXPECT_EQ(call->GetState(), csReferAuthSent);
  EXPECT_NE(Header(again, "Proxy-Authorization").find("uri="), std::string::npos);
  EXPECT_GT(CSeqNumber(again), CSeqNumber(refer));
  ToEngine(Respond(again, "202 Accepted"));
  peer.Quiet(150);
  EXPECT_EQ(call->GetState(), csReferAuthSent);

  std::string sipfrag = "SIP/2.0 200 OK\r\n";
  std::string notify = "NOTIFY sip:alice@127.0.0.1 SIP/2.0\r\n"
                       "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";branch=z9hG4bKn1\r\n"
                       "From: <sip:bob@127.0.0.1>;tag=bobtag\r\n"
                       "To: " + Header(refer, "From") + "\r\n"
                       "Call-ID: " + call->GetCallId() + "\r\n"
                       "CSeq: 20 NOTIFY\r\nEvent: refer\r\nSubscription-State: terminated\r\n"
                       "Content-Type: message/sipfrag\r\n"
                       "Content-Length: " + std::to_string(sipfrag.size()) + "\r\n\r\n" + sipfrag;
  ToEngine(notify);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "CSeq"), "20 NOTIFY");
  std::string bye = peer.Expect("BYE ");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(engine->Calls().Count(), 0);
  ToEngine(Respond(bye, "200 OK"));  // for a call no longer there: ignored
  peer.Quiet(150);
}

TEST_F(OutgoingTest, DtmfByInfo) {
  ISipCallPtr call = ConnectOutgoing();
  engine->SendDtmfInfo(call, "5");
  std::string info = peer.Expect("INFO sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + " SIP/2.0");
  EXPECT_EQ(Header(info, "Content-Type"), "application/dtmf-relay");
  EXPECT_EQ(Body(info), "Signal= 5\r\nDuration= 160\r\n");
  EXPECT_NE(Header(info, "To").find("tag=bobtag"), std::string::npos);
  ToEngine(Respond(info, "200 OK"));  // nothing to do with it
  peer.Quiet(150);
  EXPECT_EQ(call->GetState(), csConnected);
}

// A second digit waits for the final answer to the first INFO (a provisional
// one does not count): sent together they could pass each other in a proxy.
TEST_F(OutgoingTest, DtmfByInfoOneTransactionAtATime) {
  ISipCallPtr call = ConnectOutgoing();
  engine->SendDtmfInfo(call, "*");
  engine->SendDtmfInfo(call, "7");
  std::string first = peer.Expect("INFO ");
  EXPECT_EQ(Body(first), "Signal= *\r\nDuration= 160\r\n");
  EXPECT_TRUE(peer.Quiet(300));
  ToEngine(Respond(first, "100 Trying"));
  EXPECT_TRUE(peer.Quiet(300));
  ToEngine(Respond(first, "200 OK"));
  std::string second = peer.Expect("INFO ");
  EXPECT_EQ(Body(second), "Signal= 7\r\nDuration= 160\r\n");
  EXPECT_GT(std::stoi(Header(second, "CSeq")), std::stoi(Header(first, "CSeq")));
  ToEngine(Respond(second, "200 OK"));
  // Nothing waits now: the next digit goes at once.
  engine->SendDtmfInfo(call, "9");
  EXPECT_EQ(Body(peer.Expect("INFO ")), "Signal= 9\r\nDuration= 160\r\n");
}

// An INFO whose answer is lost is sent again by its transaction; the digits
// after it wait two seconds at most, then Tick lets the next one go.
TEST_F(OutgoingTest, DtmfByInfoLostAnswerHoldsTheRestOnlyForAWhile) {
  ISipCallPtr call = ConnectOutgoing();
  engine->SendDtmfInfo(call, "1");
  engine->SendDtmfInfo(call, "2");
  std::string first = peer.Expect("INFO ");
  engine->Tick();
  EXPECT_TRUE(peer.Quiet(200));  // not yet: the answer may still come
  AdvanceClock(500);
  EXPECT_EQ(peer.Expect("INFO "), first);  // timer E
  AdvanceClock(2'000);
  EXPECT_EQ(peer.Expect("INFO "), first);
  engine->Tick();
  std::string second = peer.Expect("INFO ");
  EXPECT_EQ(Body(second), "Signal= 2\r\nDuration= 160\r\n");
  ToEngine(Respond(first, "200 OK"));  // late, for the INFO given up on: changes nothing
  EXPECT_TRUE(peer.Quiet(200));
  ToEngine(Respond(second, "200 OK"));
  engine->SendDtmfInfo(call, "3");
  EXPECT_EQ(Body(peer.Expect("INFO ")), "Signal= 3\r\nDuration= 160\r\n");
}

TEST_F(OutgoingTest, MessageWithChallenge) {
  engine->SendMessage(account, "bob", "hola\r\n");
  std::string first = peer.Expect("MESSAGE sip:bob@127.0.0.1 SIP/2.0");
  EXPECT_EQ(Body(first), "hola");
  ToEngine(Respond(first, "407 Proxy Authentication Required", "m1", kProxyAuthenticate));
  std::string second = peer.Expect("MESSAGE sip:bob@127.0.0.1 SIP/2.0");
  EXPECT_EQ(Body(second), "hola");
  EXPECT_NE(Header(second, "Proxy-Authorization").find("uri=\"sip:bob@127.0.0.1\""), std::string::npos);
  EXPECT_EQ(account->GetMessageText(), "");
  ToEngine(Respond(second, "407 Proxy Authentication Required", "m1", kProxyAuthenticate));
  peer.Quiet();  // the text is gone: no third attempt
  engine->SendMessage(account, "bob", "otra");
  ToEngine(Respond(peer.Expect("MESSAGE "), "200 OK", "m2"));
  events->Pump(150);
  EXPECT_EQ(account->GetMessageText(), "");
}

// 120 s without an answer: ended with 408, and cancelled at the far end. The
// engine's clock moves, the test does not wait.
TEST_F(OutgoingTest, SetUpTimeOut) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "180 Ringing", "bobtag", ContactOf(peer)));
  ASSERT_TRUE(events->WaitFor(MsgRingback));
  AdvanceClock(119'000);
  engine->Tick();
  EXPECT_EQ(call->GetState(), csRinging);
  peer.Quiet(100);
  AdvanceClock(2'000);
  engine->Tick();
  ASSERT_TRUE(events->WaitFor(MsgCallEnded));
  EXPECT_EQ(call->GetEndStatus(), "408");
  std::string cancel = peer.Expect("CANCEL ");
  ToEngine(Respond(cancel, "200 OK", "bobtag"));
  ToEngine(Respond(invite, "487 Request Terminated", "bobtag"));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(engine->Calls().Count(), 0);
  EXPECT_EQ(call->GetEndStatus(), "408");
}

// The callee answered just as we cancelled: its dialog is acknowledged and
// ended, not left up at the far end.
TEST_F(OutgoingTest, AnswerCrossingOurCancel) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "100 Trying"));
  engine->HangUp(call);
  ToEngine(Respond(peer.Expect("CANCEL "), "200 OK", "bobtag"));
  ASSERT_TRUE(CallEnded());
  ToEngine(Respond(invite, "200 OK", "bobtag", ContactOf(peer), Sdp(41000, "0")));
  std::string ack = peer.Expect("ACK sip:bob@127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_EQ(CSeqNumber(ack), CSeqNumber(invite));
  std::string bye = peer.Expect("BYE sip:bob@127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_NE(Header(bye, "To").find("tag=bobtag"), std::string::npos);
  ASSERT_TRUE(Sync());
  EXPECT_EQ(engine->Calls().Count(), 0);
  events->Pump();
  EXPECT_EQ(events->Count(MsgCallAnswered), 0);
}

TEST_F(OutgoingTest, OperationsWhileInactive) {
  ISipCallPtr call = ConnectOutgoing();
  engine->SetActive(false);  // sends the BYE of the connected call
  peer.Expect("BYE ");
  EXPECT_EQ(engine->Calls().Count(), 0);
  EXPECT_THROW(engine->Register(account), Exception);
  EXPECT_THROW(engine->SendMessage(account, "bob", "x"), Exception);
  EXPECT_THROW(engine->Transfer(call, "carol"), Exception);
  EXPECT_THROW(engine->Hold(call), Exception);
  EXPECT_NO_THROW(engine->Invite(account, "bob", -1, -1));  // sends nothing
  peer.Quiet(100);
}

}  // namespace
