// What a lossy network does to calls, answered by the transactions under the
// engine: lost requests are sent again, repeated ones answered once, lost
// answers and ACKs recovered. The engine's clock moves only when the test
// moves it; nothing here sleeps for a timer.
#include <gtest/gtest.h>

#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

using LossTest = EngineTest;

std::string ContactOf(const TUdpPeer& peer, const std::string& params = "") {
  return "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + params + ">\r\n";
}

// A lost 200 left us connected while the caller still rang: now it is sent
// again, from T1 doubling, until the ACK comes.
TEST_F(LossTest, OurAnswerIsRepeatedUntilAcknowledged) {
  std::string invite = IncomingInvite("loss-200");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_TRUE(peer.Quiet(50));
  AdvanceClock(500);
  EXPECT_EQ(peer.Expect("SIP/2.0 200 OK"), ok);
  AdvanceClock(500);
  EXPECT_TRUE(peer.Quiet(50));  // the next one is due 1 s after the last
  AdvanceClock(500);
  EXPECT_EQ(peer.Expect("SIP/2.0 200 OK"), ok);
  // The caller repeats its INVITE: the 200 again, no second call.
  ToEngine(invite);
  EXPECT_EQ(peer.Expect("SIP/2.0 200 OK"), ok);
  ToEngine(InDialogRequest(invite, "ACK", 1));
  ASSERT_TRUE(Sync());
  AdvanceClock(10000);
  EXPECT_TRUE(peer.Quiet(100));
  EXPECT_EQ(call->GetState(), csConnected);
  events->Pump();
  EXPECT_EQ(events->Count(MsgIncomingCall), 0);
}

// RFC 3261 13.3.1.4: no ACK within 64*T1 ends the call with a BYE.
TEST_F(LossTest, AnswerNeverAcknowledgedEndsTheCall) {
  ISipCallPtr call = RingIncoming(IncomingInvite("loss-noack"));
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  for (int64_t step : {500, 1000, 2000, 4000, 4000, 4000, 4000, 4000, 4000, 4000}) {
    AdvanceClock(step);
    peer.Expect("SIP/2.0 200 OK");
  }
  AdvanceClock(500);  // 32 s after the 200
  std::string bye = peer.Expect("BYE sip:bob@127.0.0.1:");
  EXPECT_NE(Header(bye, "To").find("tag=bobtag"), std::string::npos);
  ASSERT_TRUE(events->WaitFor(MsgCallEnded));
  EXPECT_EQ(call->GetEndStatus(), "408");
  EXPECT_FALSE(call->GetMediaActive());
}

// The peer's INFO repeated (its 200 was lost) is one digit, answered twice.
TEST_F(LossTest, RepeatedInfoIsOneDigit) {
  std::string invite = IncomingInvite("loss-info");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  RegisterAccount();
  std::string info = InDialogRequest(invite, "INFO", 2, "", "Signal= 5\r\nDuration= 160\r\n", "application/dtmf-relay");
  ToEngine(info);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  ToEngine(info);
  EXPECT_EQ(peer.Expect("SIP/2.0 200 OK"), ok);
  ASSERT_TRUE(Sync());
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgDtmf), 1);
}

// Our INVITE unanswered: timer A repeats it, timer B ends the call with 408.
TEST_F(LossTest, InviteWithoutAnyAnswer) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  for (int64_t step : {500, 1000, 2000, 4000, 8000, 16000}) {
    AdvanceClock(step);
    EXPECT_EQ(peer.Expect("INVITE "), invite);
  }
  AdvanceClock(500);  // 32 s
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetEndStatus(), "408");
  EXPECT_EQ(engine->Calls().Count(), 0);
  AdvanceClock(60000);
  EXPECT_TRUE(peer.Quiet(100));
}

// A repeated 200 (our ACK was lost) gets the same ACK again and no second
// "answered"; a repeated refusal gets its ACK again and ends nothing twice.
TEST_F(LossTest, RepeatedFinalAnswersAreAcknowledgedAgain) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  std::string ok = Respond(invite, "200 OK", "bobtag", ContactOf(peer), Sdp(41000, "0"));
  ToEngine(ok);
  std::string ack = peer.Expect("ACK ");
  ToEngine(ok);
  EXPECT_EQ(peer.Expect("ACK "), ack);
  ASSERT_TRUE(Sync());
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgCallAnswered), 1);

  ISipCallPtr busy = engine->Invite(account, "carol", -1, -1);
  std::string second = peer.Expect("INVITE ");
  std::string refusal = Respond(second, "486 Busy Here", "carol1");
  ToEngine(refusal);
  std::string ack486 = peer.Expect("ACK ");
  ASSERT_TRUE(CallEnded());
  ToEngine(refusal);
  EXPECT_EQ(peer.Expect("ACK "), ack486);
  ASSERT_TRUE(Sync());
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgCallEnded), 0);
}

// Our BYE: the call ends for the user at once; the BYE is repeated until its
// answer, and the call object goes at timer F when none comes.
TEST_F(LossTest, ByeIsRepeatedAndTheCallGoesAtTimerF) {
  ISipCallPtr call = ConnectOutgoing();
  engine->HangUp(call);
  std::string bye = peer.Expect("BYE ");
  ASSERT_TRUE(CallEnded());
  EXPECT_FALSE(call->GetMediaActive());
  engine->HangUp(call);  // again: nothing more to send
  AdvanceClock(500);
  EXPECT_EQ(peer.Expect("BYE "), bye);
  EXPECT_EQ(engine->Calls().Count(), 1);
  for (int64_t step : {1000, 2000, 4000, 4000, 4000, 4000, 4000, 4000, 4000}) {
    AdvanceClock(step);
    EXPECT_EQ(peer.Expect("BYE "), bye);
  }
  AdvanceClock(500);  // 32 s
  ASSERT_TRUE(Sync());
  EXPECT_EQ(engine->Calls().Count(), 0);
  events->Pump(50);
  EXPECT_EQ(events->Count(MsgCallEnded), 0);  // ended once, at the hang-up
}

// Responses go where the request came from (RFC 3261 18.2.2, RFC 3581): a
// Via with rport gets its answer at the source port, whatever port it names.
TEST_F(LossTest, AnswersFollowRport) {
  std::string invite = IncomingInvite("rport");
  std::string good = "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";";
  invite.replace(invite.find(good), good.size(), "Via: SIP/2.0/UDP 127.0.0.1:9;rport;");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "Via"), "SIP/2.0/UDP 127.0.0.1:9;rport=" + std::to_string(peer.Port()) +
                                   ";branch=z9hG4bK-in-rport");
}

}  // namespace
