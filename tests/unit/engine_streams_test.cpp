// SIP over TCP and TLS, end to end against a server end in the test: the
// account registers over one connection whose Via and Contact name the
// transport, nothing is retransmitted on it, a request from the server is
// answered on it, a dropped connection is made again and the account
// registers over the new one; over TLS a certificate for another name ends
// the registration with the reason, and a trusted one carries a call.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/sipengine.h"
#include "support/engine_fixture.h"
#include "support/streampeer.h"
#include "support/testcerts.h"
#include "support/udppeer.h"

namespace qv::test {
namespace {

class EngineStreamsTest : public EngineTest {
protected:
  ISipAccountPtr StreamAccount(int port, TSipTransport transport, const std::string& caFile = "") {
    engine->Accounts().Clear();
    ISipAccountPtr a = engine->AddAccount("", "127.0.0.1:" + std::to_string(port), "alice", "secret", "");
    a->SetTransport(transport);
    a->SetCaFile(caFile);
    a->SetLocalAddress("127.0.0.1");
    a->SetLocalPort(EnginePort());
    return a;
  }
  // Ticks the engine's slow time-outs after moving its clock.
  void TickAfter(int64_t ms) {
    clock->now += ms;
    engine->Tick();
  }
  std::string Dir() {
    std::string dir = ::testing::TempDir() + "streams-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    return dir;
  }
};

std::string Registered(const std::string& reg) {
  std::string contact = Header(reg, "Contact");
  return Respond(reg, "200 OK", "reg", "Contact: " + contact.substr(0, contact.find(';', contact.find('>'))) +
                                          ";expires=600\r\n");
}

TEST_F(EngineStreamsTest, RegistersOverTcpAnswersOnTheConnectionAndComesBackAfterADrop) {
  TStreamPeer server;
  account = StreamAccount(server.Port(), TSipTransport::Tcp);
  engine->Register(account);
  std::string reg = server.Expect("REGISTER ");
  EXPECT_NE(reg.find("Via: SIP/2.0/TCP "), std::string::npos) << reg;
  EXPECT_NE(Header(reg, "Contact").find(";transport=tcp>"), std::string::npos) << reg;
  // A reliable transport: no timer E, however long the answer takes.
  AdvanceClock(5000);
  EXPECT_FALSE(server.Receive(300)) << "retransmitted over TCP";
  server.Send(Respond(reg, "401 Unauthorized", "reg", kWwwAuthenticate));
  std::string withCredentials = server.Expect("REGISTER ");
  EXPECT_NE(withCredentials.find("Authorization: Digest"), std::string::npos);
  server.Send(Registered(withCredentials));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));
  EXPECT_EQ(server.Connections(), 1);

  // The server's request comes over the same connection and so does our answer.
  server.Send("OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\n"
              "Via: SIP/2.0/TCP 127.0.0.1:" + std::to_string(server.Port()) + ";branch=z9hG4bK-o1\r\n"
              "From: <sip:pbx@127.0.0.1>;tag=p\r\nTo: <sip:alice@127.0.0.1>\r\n"
              "Call-ID: opt-1\r\nCSeq: 7 OPTIONS\r\nContent-Length: 0\r\n\r\n");
  std::string ok = server.Expect("SIP/2.0 200");
  EXPECT_EQ(Header(ok, "Call-ID"), "opt-1");
  // Also when the server's Via names itself by a name and no port.
  server.Send("OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\n"
              "Via: SIP/2.0/TCP pbx.example.test;branch=z9hG4bK-o2\r\n"
              "From: <sip:pbx@127.0.0.1>;tag=p\r\nTo: <sip:alice@127.0.0.1>\r\n"
              "Call-ID: opt-2\r\nCSeq: 8 OPTIONS\r\nContent-Length: 0\r\n\r\n");
  ok = server.Expect("SIP/2.0 200");
  EXPECT_EQ(Header(ok, "Call-ID"), "opt-2");
  EXPECT_NE(ok.find("Via: SIP/2.0/TCP pbx.example.test;branch=z9hG4bK-o2;received=127.0.0.1;rport="), std::string::npos) << ok;

  // The connection drops: a new one, and the account registers over it
  // without the user seeing it leave.
  server.Drop();
  for (int i = 0; i < 40 && server.Connections() < 2; ++i) {
    TickAfter(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string again = server.Expect("REGISTER ");
  EXPECT_EQ(server.Connections(), 2);
  server.Send(Registered(again));
  events->Pump(200);
  EXPECT_EQ(account->State(), TAccountState::Registered);
  EXPECT_EQ(events->Count(MsgRegistrationEnded), 0);
}

TEST_F(EngineStreamsTest, ACertificateForAnotherNameEndsTheRegistrationWithTheReason) {
  std::string dir = Dir();
  TTestCa ca = MakeTestCa(dir, "streams");
  TStreamPeer server(MakeServerCert(ca, dir, "other", {"pbx.other.test"}));
  account = StreamAccount(server.Port(), TSipTransport::Tls, ca.CertFile);
  engine->Register(account);
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded, 5000));
  TRegistrationEndReason why = account->GetEndReason();
  EXPECT_EQ(why.Kind, TRegistrationEnd::Insecure);
  EXPECT_NE(why.Detail.find("not made out to 127.0.0.1"), std::string::npos) << why.Detail;
  EXPECT_FALSE(server.Receive(200)) << "a message went to an untrusted server";
}

TEST_F(EngineStreamsTest, ATrustedTlsServerCarriesRegistrationAndACall) {
  std::string dir = Dir();
  TTestCa ca = MakeTestCa(dir, "streams2");
  TStreamPeer server(MakeServerCert(ca, dir, "pbx", {"localhost"}, {"127.0.0.1"}));
  account = StreamAccount(server.Port(), TSipTransport::Tls, ca.CertFile);
  account->SetSrtpMode(TSrtpMode::Mandatory);
  engine->Register(account);
  std::string reg = server.Expect("REGISTER ", 5000);
  EXPECT_NE(reg.find("Via: SIP/2.0/TLS "), std::string::npos) << reg;
  EXPECT_NE(Header(reg, "Contact").find(";transport=tls>"), std::string::npos) << reg;
  server.Send(Registered(reg));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));

  // Over TLS the keys may go: a mandatory call offers RTP/SAVP with them.
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = server.Expect("INVITE ");
  EXPECT_NE(invite.find("m=audio "), std::string::npos);
  EXPECT_NE(invite.find("RTP/SAVP"), std::string::npos);
  EXPECT_NE(invite.find("a=crypto:"), std::string::npos);
  engine->HangUp(call);
  std::string cancel = server.Expect("CANCEL ");
  server.Send(Respond(cancel, "200 OK", "bob"));
  server.Send(Respond(invite, "487 Request Terminated", "bob"));
  std::string ack = server.Expect("ACK ");
  EXPECT_EQ(Header(ack, "Call-ID"), Header(invite, "Call-ID"));
  EXPECT_EQ(server.Connections(), 1);

  // A TLS connection cut without a goodbye is lost, not distrusted: the
  // account registers again over a new one.
  server.Drop();
  for (int i = 0; i < 40 && server.Connections() < 2; ++i) {
    TickAfter(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string again = server.Expect("REGISTER ", 5000);
  server.Send(Registered(again));
  events->Pump(200);
  EXPECT_EQ(account->State(), TAccountState::Registered) << account->GetEndReason().Detail;
  EXPECT_EQ(events->Count(MsgRegistrationEnded), 0);
}

}  // namespace
}  // namespace qv::test
