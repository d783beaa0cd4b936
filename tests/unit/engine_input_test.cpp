// Text from a user or an embedder on its way into a message: what could
// write header lines of its own or break a URI is refused before anything is
// sent, and what is legal but special is sent the way RFC 3261 wants it.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "sip/siptext.h"
#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

using InputTest = EngineTest;

std::string RaisedBy(const std::function<void()>& step) {
  try {
    step();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

TEST_F(InputTest, HeaderInjectionIsRefusedAndNothingIsSent) {
  EXPECT_EQ(RaisedBy([&] { engine->Invite(account, "bob\r\nX-Evil: 1", -1, -1); }),
            "number \"bob\\x0D\\x0AX-Evil: 1\" holds a control character, which a SIP URI cannot carry there");
  EXPECT_NE(RaisedBy([&] { engine->Invite(account, "bob smith", -1, -1); }).find("holds a blank"), std::string::npos);
  EXPECT_NE(RaisedBy([&] { engine->Invite(account, "bob@evil.example>;x", -1, -1); }).find("no valid host"),
            std::string::npos);
  EXPECT_NE(RaisedBy([&] { engine->SendMessage(account, "bob\nVia: x", "hi"); }).find("message target"),
            std::string::npos);
  EXPECT_NE(RaisedBy([&] { engine->AddAccount("", "pbx.example.org\r\n", "alice", "pw", ""); }).find("server"),
            std::string::npos);
  EXPECT_NE(RaisedBy([&] { engine->AddAccount("", "pbx.example.org", "al ice", "pw", ""); }).find("user name"),
            std::string::npos);
  EXPECT_EQ(RaisedBy([&] { engine->AddAccount("", "pbx.example.org", "alice", "p\nw", ""); }),
            "password \"***\" holds NUL, CR or LF");
  EXPECT_NE(RaisedBy([&] { account->SetDisplayName("Ann\r\nContact: <sip:x@y>"); }).find("display name"),
            std::string::npos);
  EXPECT_EQ(engine->Calls().Count(), 0);
  peer.Quiet(200);  // not one datagram left the engine

  ISipCallPtr call = ConnectOutgoing();
  EXPECT_NE(RaisedBy([&] { engine->Transfer(call, "carol\r\nBye"); }).find("transfer target"), std::string::npos);
  EXPECT_EQ(RaisedBy([&] { engine->Transfer(call, "carol@pbx"); }),
            "transfer target \"carol@pbx\" holds '@', which a SIP URI cannot carry there");
  EXPECT_EQ(call->GetState(), csConnected);
  peer.Quiet(200);
}

TEST_F(InputTest, LegalButSpecialTextIsSentEscaped) {
  account->SetDisplayName("Ann \"the \\ boss\" Lee");
  engine->Invite(account, "#31#600", -1, -1);
  std::string invite = peer.Expect("INVITE sip:%2331%23600@127.0.0.1 SIP/2.0");
  EXPECT_EQ(Header(invite, "From").rfind("\"Ann \\\"the \\\\ boss\\\" Lee\" <sip:alice@", 0), 0u)
      << Header(invite, "From");
  engine->Invite(account, "bob@[::1]:5070", -1, -1);
  peer.Expect("INVITE sip:bob@[::1]:5070 SIP/2.0");
}

TEST(SipText, HostsAndUsers) {
  for (const char* good : {"pbx.example.org", "10.0.0.1:5060", "[2001:db8::1]", "[::1]:5080", "a-b.c"})
    EXPECT_NO_THROW(RequireSipText("server", good, TSipText::Host)) << good;
  for (const char* bad : {"", "pbx example", "pbx:", "pbx:65536x", "[::1", "[zz::1]", "pbx/x", "h\x01"})
    EXPECT_THROW(RequireSipText("server", bad, TSipText::Host), Exception) << bad;
  EXPECT_NO_THROW(RequireSipText("number", "+34-91%20", TSipText::Number));
  EXPECT_THROW(RequireSipText("number", "50%2", TSipText::Number), Exception);  // a broken escape
  EXPECT_THROW(RequireSipText("user name", "a#b", TSipText::User), Exception);
  EXPECT_THROW(RequireSipText("number", "", TSipText::Target), Exception);
}

}  // namespace
