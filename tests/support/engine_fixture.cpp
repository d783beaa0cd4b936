#include "support/engine_fixture.h"

#include "platform/messagequeue.h"
#include "support/peer_process.h"

namespace qv::test {

const char* const kWwwAuthenticate =
    "WWW-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"5f1e2d3c4b5a\", qop=\"auth\"\r\n";
const char* const kProxyAuthenticate =
    "Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"a1b2c3d4e5f6\"\r\n";

namespace {

// Test programs run side by side: each engine takes RTP ports from a range
// no other process was given, or two calls would collide on the first port.
void UseFreeRtpRange(TSipEngine& engine) {
  int base = FreeRtpBase();
  engine.SetRtpPortMax(base + 40);
  engine.SetRtpPortMin(base);
}

void UseClock(TSipEngine& engine, const std::shared_ptr<TTestClock>& clock) {
  engine.SetClock([clock] { return clock->now.load(); });
}

}  // namespace

void EngineTest::SetUp() {
  window = std::make_shared<TMessageQueue>();
  engine = std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(0, window));
  UseFreeRtpRange(*engine);
  UseClock(*engine, clock);
  // The test clock stands still: the INVITEs of a whole test fall into one
  // second. The tests of the limit turn it on themselves.
  engine->SetInviteRateLimit(0);
  engine->SetActive(true);
  events = std::make_unique<TEngineEvents>(window);
  account = engine->AddAccount("", "127.0.0.1:" + std::to_string(peer.Port()), "alice", "secret", "");
  // Calls made without a registration still need the server and our port.
  account->SetServer("127.0.0.1");
  account->SetLocalAddress("127.0.0.1");
  account->SetLocalPort(EnginePort());
}

void EngineTest::TearDown() {
  // The farewells of going inactive wait (up to 2 s) for answers our
  // scripted peer never gives; tests of going inactive do it themselves.
  if (!engine) return;
  engine->Accounts().Clear();
  engine->Calls().Clear();
  engine->SetActive(false);
}

void EngineTest::UseEngineWithoutWindow() {
  engine->SetActive(false);
  engine = std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(0, nullptr));
  UseFreeRtpRange(*engine);
  UseClock(*engine, clock);
  engine->SetInviteRateLimit(0);
  engine->SetActive(true);
  account = engine->AddAccount("", "127.0.0.1:" + std::to_string(peer.Port()), "alice", "secret", "");
  account->SetServer("127.0.0.1");
  account->SetLocalAddress("127.0.0.1");
  account->SetLocalPort(EnginePort());
}

bool EngineTest::Sync() {
  static int counter = 0;
  std::string callId = "sync-" + std::to_string(++counter);
  ToEngine("OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.Port()) + ";branch=z9hG4bK" + callId + "\r\n"
           "From: <sip:bob@127.0.0.1>;tag=s\r\nTo: <sip:alice@127.0.0.1>\r\n"
           "Call-ID: " + callId + "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n");
  std::vector<std::string> other;
  bool answered = false;
  while (std::optional<std::string> got = peer.Receive()) {
    if (Header(*got, "Call-ID") == callId) {
      answered = true;
      break;
    }
    other.push_back(*got);
  }
  for (std::string& datagram : other) peer.PutBack(std::move(datagram));
  if (!answered) ADD_FAILURE() << "the engine did not answer OPTIONS";
  return answered;
}

bool EngineTest::CallEnded() { return events->WaitFor(MsgCallEnded) && Sync(); }

void EngineTest::RegisterAccount() {
  engine->Register(account);
  std::string reg = peer.Expect("REGISTER ");
  ToEngine(Respond(reg, "200 OK", "reg1"));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));
  ASSERT_EQ(account->GetState(), asRegistered);
}

ISipCallPtr EngineTest::ConnectOutgoing(std::string* invite, const std::string& routes) {
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string sent = peer.Expect("INVITE ");
  if (invite) *invite = sent;
  std::string contact = "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n";
  ToEngine(Respond(sent, "200 OK", "bobtag", routes + contact, Sdp(41000, "0")));
  peer.Expect("ACK ");
  EXPECT_TRUE(events->WaitFor(MsgCallAnswered));
  EXPECT_EQ(call->GetState(), csConnected);
  return call;
}

std::string EngineTest::IncomingInvite(const std::string& callId, int cseq, const std::string& sdp,
                                       const std::string& requestUri) {
  std::string port = std::to_string(peer.Port());
  return "INVITE " + requestUri + " SIP/2.0\r\n"
         "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bK-in-" + callId + "\r\n"
         "From: \"Bob\" <sip:bob@127.0.0.1>;tag=bobtag\r\n"
         "To: <sip:alice@127.0.0.1>\r\n"
         "Contact: <sip:bob@127.0.0.1:" + port + ">\r\n"
         "Call-ID: " + callId + "\r\n"
         "CSeq: " + std::to_string(cseq) + " INVITE\r\n"
         "Max-Forwards: 70\r\n"
         "Content-Type: application/sdp\r\n"
         "Content-Length: " + std::to_string(sdp.size()) + "\r\n"
         "\r\n" + sdp;
}

ISipCallPtr EngineTest::RingIncoming(const std::string& invite) {
  ToEngine(invite);
  peer.Expect("SIP/2.0 100 Trying");
  peer.Expect("SIP/2.0 180 Ringing");
  auto event = events->WaitFor(MsgIncomingCall);
  if (!event) {
    ADD_FAILURE() << "no MsgIncomingCall";
    return nullptr;
  }
  auto call = std::dynamic_pointer_cast<ISipCall>(event->Obj);
  if (call->GetState() == csIdle) call->SetState(csRinging);
  return call;
}

ISipCallPtr EngineTest::ConnectIncoming(const std::string& invite) {
  ISipCallPtr call = RingIncoming(invite);
  if (!call) return nullptr;
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  ToEngine(InDialogRequest(invite, "ACK", 1));
  return call;
}

std::string EngineTest::InDialogRequest(const std::string& invite, const std::string& method, int cseq,
                                        const std::string& extraHeaders, const std::string& body,
                                        const std::string& contentType) {
  std::string port = std::to_string(peer.Port());
  const std::string callId = Header(invite, "Call-ID");
  // A CANCEL names the INVITE's transaction (its branch); any other request
  // names the dialog, whose To carries the tag the engine gave the call.
  // Branches are unique per call: a request reusing another call's branch is
  // that request repeated (RFC 3261 17.2.3).
  std::string branch = "z9hG4bK-" + callId + "-" + method + std::to_string(cseq);
  std::string to = Header(invite, "To");
  if (method == "CANCEL") {
    std::string via = Header(invite, "Via");
    branch = via.substr(via.find("branch=") + 7);
    branch = branch.substr(0, branch.find(';'));
  } else if (to.find(";tag=") == std::string::npos) {
    if (ISipCallPtr call = engine->FindCallByCallId(callId)) to += ";tag=" + call->GetLocalTag();
  }
  std::string text = method + " sip:alice@127.0.0.1:" + std::to_string(EnginePort()) + " SIP/2.0\r\n"
                     "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=" + branch + "\r\n"
                     "From: " + Header(invite, "From") + "\r\n"
                     "To: " + to + "\r\n"
                     "Call-ID: " + callId + "\r\n"
                     "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
                     "Contact: <sip:bob@127.0.0.1:" + port + ">\r\n" + extraHeaders;
  if (!contentType.empty()) text += "Content-Type: " + contentType + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return text;
}

}  // namespace qv::test
