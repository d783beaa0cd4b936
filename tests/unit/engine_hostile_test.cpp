// A third party that knows a call's Call-ID, challengers that want our
// password, and floods of INVITEs: what the engine does with each, seen from
// the wire. The fixture's peer is the account's server and the honest far
// end; `stranger` is someone else on the network.
#include <gtest/gtest.h>

#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

class HostileTest : public EngineTest {
protected:
  // A request of `stranger` that copies an honest request but for its tags.
  std::string Forged(std::string request, const std::string& fromTag, const std::string& toTag) {
    auto swap = [&](const std::string& name, const std::string& tag) {
      size_t line = request.find("\r\n" + name + ": ");
      size_t at = request.find(";tag=", line);
      size_t end = request.find("\r\n", line + 2);
      if (at != std::string::npos && at < end) request.replace(at + 5, end - at - 5, tag);
    };
    swap("From", fromTag);
    swap("To", toTag);
    return request;
  }

  // Sent by the stranger, whose Via names its own port (where answers go).
  void FromStranger(std::string request) {
    const std::string via = "Via: SIP/2.0/UDP 127.0.0.1:";
    size_t at = request.find(via) + via.size();
    request.replace(at, std::to_string(peer.Port()).size(), std::to_string(stranger.Port()));
    stranger.Send(request, EnginePort());
  }

  ISipCallPtr ConnectIncoming(const std::string& invite) {
    ISipCallPtr call = RingIncoming(invite);
    if (!call) return call;
    engine->Answer(call);
    peer.Expect("SIP/2.0 200 OK");
    return call;
  }

  TUdpPeer stranger;
};

// RFC 3261 12.2.2: in-dialog requests with foreign tags are answered 481 and
// change nothing; one with an older CSeq 500. The honest BYE still ends it.
TEST_F(HostileTest, ForeignTagsAndOldCSeqsChangeNothing) {
  std::string invite = IncomingInvite("victim", 5);
  ISipCallPtr call = ConnectIncoming(invite);
  ASSERT_TRUE(call);
  RegisterAccount();  // INFO digits count only on a registered account

  std::string reinvite = InDialogRequest(invite, "INVITE", 6, "", Sdp(46000, "0", "sendrecv", "127.0.0.9"),
                                         "application/sdp");
  for (const std::string& request :
       {Forged(reinvite, "evil", call->GetLocalTag()), Forged(reinvite, "bobtag", "evil"),
        Forged(InDialogRequest(invite, "BYE", 7), "bobtag", "nottag"),
        Forged(InDialogRequest(invite, "INFO", 8, "", "Signal=5\r\nDuration=160\r\n", "application/dtmf-relay"),
               "evil", call->GetLocalTag()),
        Forged(InDialogRequest(invite, "NOTIFY", 9, "Event: refer\r\n", "SIP/2.0 200 OK\r\n", "message/sipfrag"),
               "evil", "evil")}) {
    FromStranger(request);
    std::string answer = stranger.Expect("SIP/2.0 481 ");
    EXPECT_EQ(Header(answer, "Call-ID"), "victim");
  }
  // An older CSeq than the INVITE's, with the right tags.
  FromStranger(InDialogRequest(invite, "BYE", 4));
  stranger.Expect("SIP/2.0 500 ");
  events->Pump(100);
  for (const auto& e : events->Pending()) EXPECT_NE(e.Msg, MsgDtmf);
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_EQ(call->GetRemoteRtpAddress(), "127.0.0.1");
  EXPECT_EQ(call->GetRemoteRtpPort(), 40000);
  EXPECT_TRUE(call->GetMediaActive());

  ToEngine(InDialogRequest(invite, "BYE", 6));
  peer.Expect("SIP/2.0 200 OK");
  EXPECT_TRUE(CallEnded());
}

// RFC 3261 9.2: a CANCEL names the INVITE's transaction.
TEST_F(HostileTest, CancelMustNameTheInvitesTransaction) {
  std::string invite = IncomingInvite("ringing", 3);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  std::string cancel = InDialogRequest(invite, "CANCEL", 3);
  std::string wrongBranch = cancel;
  wrongBranch.replace(wrongBranch.find("z9hG4bK-in-ringing"), 18, "z9hG4bK-forged-one");
  std::string wrongCSeq = cancel;
  wrongCSeq.replace(wrongCSeq.find("CSeq: 3"), 7, "CSeq: 4");
  for (const std::string& forged : {wrongBranch, wrongCSeq}) {
    FromStranger(forged);
    stranger.Expect("SIP/2.0 481 ");
  }
  EXPECT_EQ(call->GetState(), csRinging);
  ToEngine(cancel);
  peer.Expect("SIP/2.0 200 OK");
  peer.Expect("SIP/2.0 487 ");
  EXPECT_TRUE(CallEnded());
}

// Our password goes only to the realm the server named first, the domain, or
// one the user listed; a CANCEL never carries credentials.
TEST_F(HostileTest, CredentialsOnlyForTrustedRealms) {
  engine->Register(account);
  std::string reg = peer.Expect("REGISTER ");
  ToEngine(Respond(reg, "401 Unauthorized", "r", "WWW-Authenticate: Digest realm=\"pbx.example\", nonce=\"n1\"\r\n"));
  reg = peer.Expect("REGISTER ");
  EXPECT_NE(Header(reg, "Authorization").find("realm=\"pbx.example\""), std::string::npos);
  ToEngine(Respond(reg, "200 OK", "r"));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));
  EXPECT_EQ(account->GetLearnedRealm(), "pbx.example");

  // A call whose 407 names another realm ends with that status, unanswered.
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  ToEngine(Respond(invite, "407 Proxy Authentication Required", "x",
                   "Proxy-Authenticate: Digest realm=\"evil.example\", nonce=\"n2\"\r\n"));
  peer.Expect("ACK ");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetEndStatus(), "407");
  peer.Quiet(200);

  // A held call's re-INVITE challenged by the far end stays as it was.
  call = ConnectOutgoing(&invite);
  engine->Hold(call);
  std::string hold = peer.Expect("INVITE ");
  ToEngine(Respond(hold, "401 Unauthorized", "bobtag", "WWW-Authenticate: Digest realm=\"evil.example\", nonce=\"n3\"\r\n"));
  peer.Expect("ACK ");
  peer.Quiet(200);
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_FALSE(call->GetOnHold());

  // A realm the user listed is answered.
  account->SetRealms("other.example, evil.example");
  engine->Hold(call);
  hold = peer.Expect("INVITE ");
  ToEngine(Respond(hold, "401 Unauthorized", "bobtag", "WWW-Authenticate: Digest realm=\"evil.example\", nonce=\"n4\"\r\n"));
  peer.Expect("ACK ");
  hold = peer.Expect("INVITE ");
  EXPECT_NE(Header(hold, "Authorization").find("realm=\"evil.example\""), std::string::npos);

  // CANCEL of an unanswered call: no credentials.
  ISipCallPtr ringing = engine->Invite(account, "carol", -1, -1);
  peer.Expect("INVITE ");
  engine->HangUp(ringing);
  std::string cancel = peer.Expect("CANCEL ");
  EXPECT_EQ(Header(cancel, "Authorization"), "");
  EXPECT_EQ(Header(cancel, "Proxy-Authorization"), "");
}

// Never registered: the first challenge from the account's server sets the
// realm; a challenge from anyone else for another realm is a refusal.
TEST_F(HostileTest, UnregisteredAccountLearnsTheRealmFromItsServerOnly) {
  engine->SendMessage(account, "bob", "hi");
  std::string message = peer.Expect("MESSAGE ");
  stranger.Send(Respond(message, "401 Unauthorized", "", "WWW-Authenticate: Digest realm=\"evil.example\", nonce=\"n\"\r\n"),
                EnginePort());  // a response goes by its Via, not by who sent it
  peer.Quiet(300);
  EXPECT_EQ(account->GetLearnedRealm(), "");
  engine->SendMessage(account, "bob", "hi again");
  message = peer.Expect("MESSAGE ");
  ToEngine(Respond(message, "401 Unauthorized", "", "WWW-Authenticate: Digest realm=\"home\", nonce=\"n\"\r\n"));
  message = peer.Expect("MESSAGE ");
  EXPECT_NE(Header(message, "Authorization").find("realm=\"home\""), std::string::npos);
  EXPECT_EQ(account->GetLearnedRealm(), "home");
}

// Floods: per-source INVITE rate, the call cap and scanners' numbers. Each
// refusal keeps neither a call nor a transaction.
TEST_F(HostileTest, LimitsOnNewInvites) {
  engine->SetInviteRateLimit(3);
  engine->SetMaxCalls(2);
  const int transactionsBefore = engine->Transactions().Count();
  auto fromStranger = [&](const std::string& callId, const std::string& user) {
    std::string invite = IncomingInvite(callId, 1, Sdp(40000), "sip:" + user + "@127.0.0.1");
    size_t via = invite.find(std::to_string(peer.Port()));
    invite.replace(via, std::to_string(peer.Port()).size(), std::to_string(stranger.Port()));
    stranger.Send(invite, EnginePort());
  };
  fromStranger("scan-1", "100");
  stranger.Expect("SIP/2.0 404 ");
  fromStranger("flood-1", "alice");
  stranger.Expect("SIP/2.0 100 ");
  stranger.Expect("SIP/2.0 180 ");
  fromStranger("flood-2", "alice");
  stranger.Expect("SIP/2.0 100 ");
  stranger.Expect("SIP/2.0 180 ");
  fromStranger("flood-3", "alice");
  stranger.Expect("SIP/2.0 503 ");  // the fourth INVITE of this second
  AdvanceClock(1000);
  fromStranger("flood-4", "alice");
  stranger.Expect("SIP/2.0 486 ");  // two calls are the cap
  EXPECT_EQ(engine->Calls().Count(), 2);
  // The account's server may send any number there.
  engine->SetMaxCalls(3);
  ToEngine(IncomingInvite("from-server", 1, Sdp(40000), "sip:0034915550101@127.0.0.1"));
  peer.Expect("SIP/2.0 100 ");
  peer.Expect("SIP/2.0 180 ");
  EXPECT_EQ(engine->Calls().Count(), 3);
  // Two ringing calls and their INVITE transactions; none for the refused.
  EXPECT_EQ(engine->Transactions().Count() - transactionsBefore, 3);
  AdvanceClock(600);  // timer G would repeat a refusal kept in a transaction
  stranger.Quiet(300);
}

// A call hung up whose BYE is still unanswered holds no line: the next call
// rings instead of meeting 486.
TEST_F(HostileTest, HungUpCallsAwaitingTheirByeHoldNoLine) {
  engine->SetMaxCalls(1);
  ISipCallPtr call = ConnectOutgoing();
  engine->HangUp(call);
  peer.Expect("BYE ");  // and no answer to it
  EXPECT_EQ(engine->Calls().Count(), 1);
  ToEngine(IncomingInvite("after-hangup"));
  peer.Expect("SIP/2.0 100 ");
  peer.Expect("SIP/2.0 180 ");
  ToEngine(IncomingInvite("one-too-many"));
  peer.Expect("SIP/2.0 486 ");
}

}  // namespace
