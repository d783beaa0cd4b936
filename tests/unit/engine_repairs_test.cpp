// Call control that failed before: refused re-INVITEs and REFERs, glare,
// challenges inside a dialog, the peer's re-INVITE while we hold, the remote
// target's URI parameters, a CANCEL that races the answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

using RepairTest = EngineTest;

std::string ContactOf(const TUdpPeer& peer, const std::string& params = "") {
  return "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + params + ">\r\n";
}

// RFC 3261 14.1: a refused re-INVITE leaves the session as it was, both
// ways; the refusal is acknowledged by its transaction.
TEST_F(RepairTest, RefusedHoldAndResumeKeepTheCall) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "488 Not Acceptable Here"));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_FALSE(call->GetOnHold());
  EXPECT_EQ(call->GetMediaDirection(), "sendrecv");

  engine->Hold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "200 OK", "", ContactOf(peer), Sdp(41000, "0", "recvonly")));
  peer.Expect("ACK ");
  engine->Unhold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "500 Server Error"));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csHoldSent);  // still held
  EXPECT_TRUE(call->GetOnHold());
  EXPECT_EQ(engine->Calls().Count(), 1);
  engine->HangUp(call);
  peer.Expect("BYE ");
}

// 491: both sides asked at once. The side that made the Call-ID waits
// 2.1 to 4 s, the other 0 to 2 s, then asks again with a new CSeq.
TEST_F(RepairTest, GlareIsRetriedAfterARandomWait) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  std::string first = peer.Expect("INVITE ");
  ToEngine(Respond(first, "491 Request Pending"));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  AdvanceClock(2090);
  EXPECT_TRUE(peer.Quiet(100));
  EXPECT_EQ(call->GetState(), csHoldSent);
  AdvanceClock(1910);  // 4 s
  std::string again = peer.Expect("INVITE ");
  EXPECT_GT(CSeqNumber(again), CSeqNumber(first));
  EXPECT_NE(Header(again, "Via"), Header(first, "Via"));
  EXPECT_NE(Body(again).find("a=sendonly"), std::string::npos);

  // The peer's offer crossing ours gets 491; once ours is answered, its
  // retry is taken.
  std::string glare = IncomingInvite("glare-crossing");
  ISipCallPtr crossing = ConnectIncoming(glare);
  ASSERT_TRUE(crossing);
  engine->Hold(crossing);
  std::string ours = peer.Expect("INVITE ");
  ToEngine(InDialogRequest(glare, "INVITE", 2, "", Sdp(40004, "0"), "application/sdp"));
  peer.Expect("SIP/2.0 491 Request Pending");
  ToEngine(InDialogRequest(glare, "ACK", 2));
  ToEngine(Respond(ours, "200 OK", "", ContactOf(peer), Sdp(40000, "0", "recvonly")));
  peer.Expect("ACK ");
  ToEngine(InDialogRequest(glare, "INVITE", 3, "", Sdp(40004, "0"), "application/sdp"));
  EXPECT_NE(Body(peer.Expect("SIP/2.0 200 OK")).find("a=sendonly\r\n"), std::string::npos);

  std::string invite = IncomingInvite("glare-callee");
  ISipCallPtr incoming = ConnectIncoming(invite);
  ASSERT_TRUE(incoming);
  engine->Hold(incoming);
  ToEngine(Respond(peer.Expect("INVITE "), "491 Request Pending"));
  peer.Expect("ACK ");
  ASSERT_TRUE(Sync());
  AdvanceClock(2000);
  peer.Expect("INVITE ");
}

// A 407 to a re-INVITE comes from a proxy without Record-Route: the retry
// with credentials keeps the route set the dialog made.
TEST_F(RepairTest, ChallengedReInviteKeepsTheRouteSet) {
  std::string route = "Record-Route: <sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>\r\n";
  ISipCallPtr call = ConnectOutgoing(nullptr, route);
  engine->Hold(call);
  std::string hold = peer.Expect("INVITE ");
  EXPECT_NE(Header(hold, "Route"), "");
  ToEngine(Respond(hold, "407 Proxy Authentication Required", "", kProxyAuthenticate));
  peer.Expect("ACK ");
  std::string again = peer.Expect("INVITE ");
  EXPECT_EQ(Header(again, "Route"), Header(hold, "Route"));
  EXPECT_NE(Header(again, "Proxy-Authorization"), "");
}

// 12.2.1.2: a 481 to a re-INVITE, or no answer at all, ends the dialog.
TEST_F(RepairTest, ReInviteThatFindsNoDialogEndsTheCall) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Hold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "481 Call Does Not Exist"));
  peer.Expect("ACK ");
  ToEngine(Respond(peer.Expect("BYE "), "200 OK"));
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetEndStatus(), "481");

  ISipCallPtr second = ConnectOutgoing();
  engine->Unhold(second);
  peer.Expect("INVITE ");
  AdvanceClock(32000);  // timer B
  peer.Expect("INVITE ");  // timer A went once on the way
  peer.Expect("BYE ");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(second->GetEndStatus(), "408");
}

// The peer's re-INVITE while we hold the call is answered; our answer keeps
// the call held (sendonly), or inactive when the peer holds us too.
TEST_F(RepairTest, ReInviteWhileWeHold) {
  std::string invite = IncomingInvite("held-reinvite");
  ISipCallPtr call = ConnectIncoming(invite);
  ASSERT_TRUE(call);
  engine->Hold(call);
  ToEngine(Respond(peer.Expect("INVITE "), "200 OK", "", ContactOf(peer), Sdp(40000, "0", "recvonly")));
  peer.Expect("ACK ");
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  ASSERT_EQ(call->GetState(), csHoldSent);

  ToEngine(InDialogRequest(invite, "INVITE", 2, "", Sdp(40004, "0"), "application/sdp"));
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "CSeq"), "2 INVITE");
  EXPECT_NE(Body(ok).find("a=sendonly\r\n"), std::string::npos) << Body(ok);
  EXPECT_EQ(call->GetRemoteRtpPort(), 40004);
  ToEngine(InDialogRequest(invite, "INVITE", 3, "", Sdp(40004, "0", "sendonly"), "application/sdp"));
  EXPECT_NE(Body(peer.Expect("SIP/2.0 200 OK")).find("a=inactive\r\n"), std::string::npos);
  EXPECT_EQ(call->GetState(), csHoldSent);
  EXPECT_TRUE(call->GetOnHold());
}

// A refused REFER, a REFER nobody answers, and a NOTIFY telling of a failed
// transfer give the call back connected; hanging up then sends BYE.
TEST_F(RepairTest, FailedTransfersGiveTheCallBack) {
  ISipCallPtr call = ConnectOutgoing();
  engine->Transfer(call, "carol");
  ToEngine(Respond(peer.Expect("REFER "), "603 Decline"));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csConnected);

  engine->Transfer(call, "carol");
  peer.Expect("REFER ");
  AdvanceClock(32000);  // timer F (E sent it again meanwhile)
  peer.Expect("REFER ");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csConnected);

  engine->Transfer(call, "carol");
  std::string refer = peer.Expect("REFER ");
  ToEngine(Respond(refer, "202 Accepted"));
  auto notify = [&](int cseq, const std::string& frag) {
    std::string body = frag + "\r\n";
    return "NOTIFY sip:alice@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";branch=z9hG4bKnf" + std::to_string(cseq) + "\r\n"
           "From: <sip:bob@127.0.0.1>;tag=bobtag\r\nTo: " + Header(refer, "From") + "\r\n"
           "Call-ID: " + call->GetCallId() + "\r\nCSeq: " + std::to_string(cseq) + " NOTIFY\r\n"
           "Event: refer\r\nContent-Type: message/sipfrag\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  ToEngine(notify(30, "SIP/2.0 100 Trying"));
  peer.Expect("SIP/2.0 200 OK");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csReferSent);  // under way
  ToEngine(notify(31, "SIP/2.0 486 Busy Here"));
  peer.Expect("SIP/2.0 200 OK");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(call->GetState(), csConnected);
  engine->HangUp(call);
  peer.Expect("BYE ");
}

// A REFER answered with a challenge by a proxy keeps the dialog's route set;
// each REFER is a transaction with a new branch.
TEST_F(RepairTest, ChallengedReferKeepsTheRouteSet) {
  std::string route = "Record-Route: <sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>\r\n";
  std::string invite;
  ISipCallPtr call = ConnectOutgoing(&invite, route);
  engine->Transfer(call, "carol");
  std::string refer = peer.Expect("REFER ");
  EXPECT_EQ(Header(refer, "Via").find(Header(invite, "Via")), std::string::npos);
  ToEngine(Respond(refer, "407 Proxy Authentication Required", "", kProxyAuthenticate));
  std::string again = peer.Expect("REFER ");
  EXPECT_EQ(Header(again, "Route"), Header(refer, "Route"));
  EXPECT_NE(Header(again, "Route"), "");
  EXPECT_NE(Header(again, "Via"), Header(refer, "Via"));
}

// The Contact's URI parameters are part of the remote target (RFC 3261
// 12.1.2): the BYE's Request-URI keeps ";transport=udp;ob".
TEST_F(RepairTest, RemoteTargetKeepsUriParameters) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "200 OK", "bobtag", ContactOf(peer, ";transport=udp;ob") , Sdp(41000, "0")));
  std::string ack = peer.Expect("ACK ");
  std::string target = "sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ";transport=udp;ob";
  EXPECT_EQ(FirstLine(ack), "ACK " + target + " SIP/2.0");
  engine->HangUp(call);
  EXPECT_EQ(FirstLine(peer.Expect("BYE ")), "BYE " + target + " SIP/2.0");
}

// Requests inside a dialog go to its next hop (RFC 3261 12.2.1.1), not to
// the server: the first route, else the remote target. A target given as a
// host name is left to the server, since nothing is looked up here.
TEST_F(RepairTest, InDialogRequestsGoToTheDialogsNextHop) {
  TUdpPeer phone, proxy;
  // A caller's route set is the Record-Route list reversed: its first is the last.
  std::string routes = "Record-Route: <sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>\r\n" +
                       "Record-Route: <sip:127.0.0.1:" + std::to_string(proxy.Port()) + ";lr>\r\n";
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "200 OK", "bobtag", routes + ContactOf(phone), Sdp(41000, "0")));
  proxy.Expect("ACK ");
  engine->HangUp(call);
  proxy.Expect("BYE ");
  // No route set: straight to the peer that answered.
  call = engine->Invite(account, "bob", -1, -1);
  invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "200 OK", "bobtag2", ContactOf(phone), Sdp(41000, "0")));
  phone.Expect("ACK ");
  engine->SendDtmfInfo(call, "5");
  phone.Expect("INFO ");
  engine->HangUp(call);
  phone.Expect("BYE ");
  EXPECT_TRUE(peer.Quiet(150));
  // A callee's first route is the top Record-Route.
  std::string incoming = IncomingInvite("next-hop", 1);
  std::string theirs = "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n";
  incoming.replace(incoming.find(theirs), theirs.size(),
                   "Record-Route: <sip:127.0.0.1:" + std::to_string(proxy.Port()) + ";lr>\r\n"
                   "Record-Route: <sip:127.0.0.1:" + std::to_string(peer.Port()) + ";lr>\r\n" + ContactOf(phone));
  call = RingIncoming(incoming);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");  // the answer follows the Via
  ToEngine(InDialogRequest(incoming, "ACK", 1));
  engine->HangUp(call);
  proxy.Expect("BYE ");
  // A host name as the remote target: the server takes it.
  call = engine->Invite(account, "bob", -1, -1);
  invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "200 OK", "bobtag3", "Contact: <sip:bob@phone.invalid:5070>\r\n", Sdp(41000, "0")));
  peer.Expect("ACK ");
  engine->HangUp(call);
  peer.Expect("BYE ");
}

// The MESSAGE sent again with credentials is a new transaction: new branch.
TEST_F(RepairTest, MessageRetryIsANewTransaction) {
  engine->SendMessage(account, "bob", "hola");
  std::string first = peer.Expect("MESSAGE ");
  ToEngine(Respond(first, "407 Proxy Authentication Required", "m1", kProxyAuthenticate));
  std::string second = peer.Expect("MESSAGE ");
  EXPECT_NE(Header(second, "Via"), Header(first, "Via"));
  EXPECT_EQ(Header(second, "Call-ID"), Header(first, "Call-ID"));
  // The challenge repeated (our retry's answer was slow) is not a second retry.
  ToEngine(Respond(first, "407 Proxy Authentication Required", "m1", kProxyAuthenticate));
  EXPECT_TRUE(peer.Quiet(150));
}

// A CANCEL handled before the user's answer leaves nothing to answer: no
// 200 goes out after the 487, and the call stays ended.
TEST_F(RepairTest, AnswerAfterTheCancelSendsNothing) {
  std::string invite = IncomingInvite("cancel-race", 5);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  std::string cancel = InDialogRequest(invite, "CANCEL", 5);
  ToEngine(cancel);
  peer.Expect("SIP/2.0 200 OK");
  peer.Expect("SIP/2.0 487 Request terminated");
  ASSERT_TRUE(CallEnded());
  engine->Answer(call);
  EXPECT_TRUE(peer.Quiet(150));
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_FALSE(call->GetMediaActive());
}

// The user's answer and the peer's CANCEL at the same moment, many times:
// whichever the call's lock lets in first decides, and the INVITE gets
// exactly one final answer, a 200 or a 487, never both.
TEST_F(RepairTest, AnswerRacingCancelGivesOneFinalAnswer) {
  int answered = 0, cancelled = 0;
  for (int i = 0; i < 25; ++i) {
    std::string invite = IncomingInvite("race-" + std::to_string(i), 1);
    ISipCallPtr call = RingIncoming(invite);
    ASSERT_TRUE(call);
    std::thread user([&] { engine->Answer(call); });
    ToEngine(InDialogRequest(invite, "CANCEL", 1));
    user.join();
    int ok = 0, terminated = 0;
    while (std::optional<std::string> d = peer.Receive(150)) {
      if (Header(*d, "CSeq") != "1 INVITE") continue;
      ok += d->rfind("SIP/2.0 200 OK", 0) == 0;
      terminated += d->rfind("SIP/2.0 487", 0) == 0;
    }
    ASSERT_EQ(ok + terminated, 1) << "round " << i;
    if (ok) {
      ++answered;
      EXPECT_EQ(call->GetState(), csConnected);
      engine->Busy(call);  // too late once answered: no 486 may come before the BYE's 200
      ToEngine(InDialogRequest(invite, "ACK", 1));
      ToEngine(InDialogRequest(invite, "BYE", 2));
      peer.Expect("SIP/2.0 200 OK");
      EXPECT_EQ(call->GetState(), csIdle);
    } else {
      ++cancelled;
      EXPECT_EQ(call->GetState(), csIdle);
      EXPECT_FALSE(call->GetMediaActive());
    }
  }
  std::printf("answer won %d times, CANCEL %d times\n", answered, cancelled);
}

}  // namespace
