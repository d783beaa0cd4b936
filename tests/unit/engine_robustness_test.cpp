// What a peer may send that the engine must survive: datagrams that are not
// SIP, responses nobody asked for, requests whose answer cannot be sent. After
// each, the engine must still answer the next request normally.
#include <gtest/gtest.h>

#include "sip/iputils.h"
#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

class RobustnessTest : public EngineTest {
protected:
  // An OPTIONS gets its 200: the transport thread is alive and not wedged.
  void ExpectAlive() {
    std::string options = "OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\n"
                          "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";branch=z9hG4bKalive\r\n"
                          "From: <sip:bob@127.0.0.1>;tag=a\r\nTo: <sip:alice@127.0.0.1>\r\n"
                          "Call-ID: alive\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
    ToEngine(options);
    std::optional<std::string> answer;
    // Skip whatever the datagrams before it still produced.
    for (int i = 0; i < 500; ++i) {
      answer = peer.Receive();
      if (!answer || Header(*answer, "Call-ID") == "alive") break;
    }
    ASSERT_TRUE(answer) << "the engine stopped answering";
    EXPECT_EQ(Header(*answer, "CSeq"), "1 OPTIONS");
  }
};

TEST_F(RobustnessTest, DatagramsThatAreNotSipAreLoggedAndIgnored) {
  const std::vector<std::string> junk = {
      std::string("\x00", 1),
      std::string("\x01\x01", 2),
      std::string("\x01\x01\x00\x08", 4) + std::string(30, '\xff'),  // binding response, unknown id
      std::string(4096, 'A'),
      std::string(9000, '\r'),
      "SIP/2.0\r\n\r\n",
      "INVITE\r\n",
      "CSeq: \r\n\r\n",
      "CSeq:1\r\n",
      "SIP/2.0 200 OK\r\nCSeq: x INVITE\r\nCall-ID: nobody\r\n\r\n",
      "SIP/2.0 99999999999999999999 Huge\r\nCSeq: 1 REGISTER\r\nCall-ID: nobody\r\n\r\n",
  };
  for (const std::string& datagram : junk) {
    ToEngine(datagram);
    ExpectAlive();
  }
  events->Pump(100);
  ASSERT_GE(events->Logs().size(), junk.size());
  EXPECT_EQ(events->Logs()[0], std::string("\x00", 1));
  EXPECT_EQ(engine->Calls().Count(), 0);
}

// Responses of every kind for dialogs that do not exist.
TEST_F(RobustnessTest, UnmatchedResponsesAreIgnored) {
  for (const char* method : {"INVITE", "BYE", "CANCEL", "REFER", "INFO", "MESSAGE", "NOTIFY", "REGISTER", "OPTIONS"}) {
    for (const char* status : {"100 Trying", "200 OK", "401 Unauthorized", "407 Proxy Authentication Required", "487 Terminated", "500 Oops"}) {
      std::string response = std::string("SIP/2.0 ") + status + "\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(EnginePort()) + ";branch=z9hG4bKx\r\n"
                             "From: <sip:alice@127.0.0.1>;tag=a\r\nTo: <sip:bob@127.0.0.1>;tag=b\r\n"
                             "Call-ID: no-such-dialog\r\nCSeq: 1 " + method + "\r\n"
                             "Content-Length: 0\r\n\r\n";
      ToEngine(response);
    }
  }
  peer.Quiet(300);  // no stray ACK or answer for dialogs we never had
  ExpectAlive();
  EXPECT_EQ(engine->Calls().Count(), 0);
  EXPECT_EQ(account->GetState(), asIdle);
}

// RFC 3261 18.2.2: an answer goes where the request came from, even when its
// Via names a host nobody can resolve; the top Via says what was learnt.
TEST_F(RobustnessTest, InviteWhoseViaNamesAnUnknownHost) {
  std::string invite = IncomingInvite("bad-via");
  std::string good = "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port());
  invite.replace(invite.find(good), good.size(), "Via: SIP/2.0/UDP host.invalid:" + std::to_string(peer.Port()));
  ToEngine(invite);
  std::string trying = peer.Expect("SIP/2.0 100 Trying");
  EXPECT_EQ(Header(trying, "Via"), "SIP/2.0/UDP host.invalid:" + std::to_string(peer.Port()) +
                                       ";branch=z9hG4bK-in-bad-via;received=127.0.0.1");
  peer.Expect("SIP/2.0 180 Ringing");
  EXPECT_TRUE(events->WaitFor(MsgIncomingCall));
  ExpectAlive();
}

// Host names wherever a peer may write one (Via, Contact, Record-Route, the
// SDP's address) are taken as text: the transport thread never waits for a
// lookup, through a whole call each way.
TEST_F(RobustnessTest, NamesInMessagesAreNeverLookedUpOnTheTransportThread) {
  const long before = LookupsOnTransportThreads();
  std::string named = "Contact: <sip:bob@phone.invalid:5070>\r\nRecord-Route: <sip:proxy.invalid;lr>\r\n";
  std::string sdp = Sdp(40000, "0 8", "sendrecv", "media.invalid");
  std::string invite = IncomingInvite("named", 1, sdp);
  std::string contact = "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n";
  invite.replace(invite.find(contact), contact.size(), named);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  ToEngine(InDialogRequest(invite, "ACK", 1));
  ToEngine(InDialogRequest(invite, "BYE", 2));
  peer.Expect("SIP/2.0 200 OK");
  call = engine->Invite(account, "bob", -1, -1);
  ToEngine(Respond(peer.Expect("INVITE "), "200 OK", "named-out", named, sdp));
  peer.Expect("ACK ");  // the names leave the next hop to the server
  engine->HangUp(call);
  peer.Expect("BYE ");
  ExpectAlive();
  EXPECT_EQ(LookupsOnTransportThreads(), before);
}

// A BYE whose Via names nobody we can reach still ends the call.
TEST_F(RobustnessTest, ByeWhoseViaCannotBeAnswered) {
  std::string invite = IncomingInvite("bye-bad-via");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  std::string bye = InDialogRequest(invite, "BYE", 2);
  std::string good = "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port());
  bye.replace(bye.find(good), good.size(), "Via: SIP/2.0/UDP host.invalid:5060");
  ToEngine(bye);
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_FALSE(call->GetMediaActive());
  EXPECT_EQ(engine->Calls().Count(), 0);
  ExpectAlive();
}

// Requests that name a known dialog but carry nonsense where numbers belong.
TEST_F(RobustnessTest, NonsenseInsideADialog) {
  std::string invite = IncomingInvite("nonsense");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  std::string reinvite = InDialogRequest(invite, "INVITE", 2, "", "m=audio x RTP/AVP zz\r\nc=IN IP4\r\n",
                                         "application/sdp");
  reinvite.replace(reinvite.find("CSeq: 2"), 7, "CSeq: two");
  ToEngine(reinvite);
  ExpectAlive();
  EXPECT_EQ(call->GetState(), csConnected);
  // A final response to our own INVITE for an incoming call.
  ToEngine(Respond(invite, "500 Server Error", "t"));
  ExpectAlive();
  EXPECT_EQ(call->GetState(), csConnected);
}

// Concurrent user operations and dispatch on the same calls: run under the
// thread sanitizer this shows the locking; here it must neither crash nor hang.
TEST_F(RobustnessTest, OperationsRaceWithDispatch) {
  std::vector<ISipCallPtr> calls;
  for (int i = 0; i < 20; ++i) {
    std::string invite = IncomingInvite("race-" + std::to_string(i));
    ToEngine(invite);
    ToEngine(InDialogRequest(invite, "CANCEL", 1));
  }
  for (int i = 0; i < 20; ++i) {
    engine->Tick();
    events->Pump();
    for (const auto& e : events->Pending())
      if (e.Msg == MsgIncomingCall) {
        auto call = std::dynamic_pointer_cast<ISipCall>(e.Obj);
        engine->Answer(call);
        engine->HangUp(call);
      }
    events->Clear();
  }
  ExpectAlive();
}

}  // namespace
