// Registration against a scripted registrar: Digest challenges, refusals,
// un-registration, the STUN binding request and its answer, and the Tick
// time-outs of the account states.
#include <gtest/gtest.h>

#include "dialogs/accounts.h"
#include "sip/stun.h"
#include "platform/clock.h"
#include "support/engine_fixture.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

using RegisterTest = EngineTest;

TEST_F(RegisterTest, DigestChallengeThenRegistered) {
  engine->StartRegistration(account);
  std::string first = peer.Expect("REGISTER sip:127.0.0.1 SIP/2.0");
  EXPECT_EQ(account->GetState(), asRegisterSent);
  EXPECT_EQ(Header(first, "Contact"),
            "<sip:alice@127.0.0.1:" + std::to_string(EnginePort()) + ">;expires=3600;q=0.90");
  EXPECT_EQ(Header(first, "Authorization"), "");

  ToEngine(Respond(first, "100 Trying"));  // provisional: nothing changes
  ToEngine(Respond(first, "401 Unauthorized", "r1", kWwwAuthenticate));
  std::string second = peer.Expect("REGISTER ");
  EXPECT_EQ(account->GetState(), asRegisterAuthSent);
  EXPECT_EQ(Header(second, "Call-ID"), Header(first, "Call-ID"));
  EXPECT_GT(CSeqNumber(second), CSeqNumber(first));
  EXPECT_NE(Header(second, "From"), Header(first, "From"));  // a fresh From tag after a challenge
  std::string credentials = Header(second, "Authorization");
  EXPECT_NE(credentials.find("username=\"alice\""), std::string::npos) << credentials;
  EXPECT_NE(credentials.find("nonce=\"5f1e2d3c4b5a\""), std::string::npos) << credentials;
  EXPECT_NE(credentials.find("qop=auth"), std::string::npos) << credentials;

  ToEngine(Respond(second, "200 OK", "regtag"));
  ASSERT_TRUE(events->WaitFor(MsgRegistered));
  EXPECT_EQ(account->GetState(), asRegistered);
  EXPECT_EQ(account->GetRemoteTag(), "regtag");
  // A repeated 200 in state 4 is no second registration.
  ToEngine(Respond(second, "200 OK", "regtag"));
  events->Pump(200);
  EXPECT_EQ(events->Count(MsgRegistered), 0);
  EXPECT_EQ(events->Count(MsgRegistrationEnded), 0);
}

TEST_F(RegisterTest, WrongPasswordEndsTheRegistration) {
  engine->Register(account);
  std::string first = peer.Expect("REGISTER ");
  ToEngine(Respond(first, "401 Unauthorized", "r1", kWwwAuthenticate));
  std::string second = peer.Expect("REGISTER ");
  ToEngine(Respond(second, "401 Unauthorized", "r2", kWwwAuthenticate));
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded));
  EXPECT_EQ(account->GetState(), asIdle);
  EXPECT_EQ(account->GetEndReason().Kind, TRegistrationEnd::Refused);
  EXPECT_EQ(account->GetEndReason().Status, 401);
  peer.Quiet();  // no third attempt
}

TEST_F(RegisterTest, RefusalWithoutChallengeEndsTheRegistration) {
  engine->Register(account);
  std::string first = peer.Expect("REGISTER ");
  ToEngine(Respond(first, "403 Forbidden", "r1"));
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded));
  EXPECT_EQ(account->GetState(), asIdle);
  EXPECT_EQ(account->GetEndReason().Kind, TRegistrationEnd::Refused);
  EXPECT_EQ(account->GetEndReason().Status, 403);
}

TEST_F(RegisterTest, UnregisterAnswersItsChallenge) {
  RegisterAccount();
  engine->Unregister(account);
  std::string first = peer.Expect("REGISTER ");
  EXPECT_EQ(account->GetState(), asUnregisterSent);
  // Our binding only: "*" would unregister the user's other phones too.
  std::string ours = "<sip:alice@127.0.0.1:" + std::to_string(EnginePort()) + ">;expires=0";
  EXPECT_EQ(Header(first, "Contact"), ours);
  EXPECT_EQ(Header(first, "Expires"), "0");
  ToEngine(Respond(first, "407 Proxy Authentication Required", "r1", kProxyAuthenticate));
  std::string second = peer.Expect("REGISTER ");
  EXPECT_EQ(account->GetState(), asUnregisterAuthSent);
  EXPECT_EQ(Header(second, "Contact"), ours);
  EXPECT_NE(Header(second, "Proxy-Authorization").find("nonce=\"a1b2c3d4e5f6\""), std::string::npos);
  ToEngine(Respond(second, "200 OK", "r1"));
  ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded));
  EXPECT_EQ(account->GetState(), asIdle);
  EXPECT_EQ(account->GetEndReason().Kind, TRegistrationEnd::Unregistered);
}

TEST_F(RegisterTest, ResponsesOfAnotherCallIdAreIgnored) {
  engine->Register(account);
  std::string first = peer.Expect("REGISTER ");
  std::string other = first;
  other.replace(other.find(account->GetCallId()), account->GetCallId().size(), "someone-else");
  ToEngine(Respond(other, "200 OK", "x"));
  events->Pump(200);
  EXPECT_EQ(account->GetState(), asRegisterSent);
  EXPECT_EQ(events->Count(MsgRegistered), 0);
}

// Every account state with a time-out, one second either side of it, on the
// engine's clock.
TEST_F(RegisterTest, TickTimeOuts) {
  auto stateAfter = [&](int state, int64_t seconds) {
    account->SetState(state);
    account->Registration().sentAt = ClockNow() - seconds * 1000;
    engine->Tick();
    return account->GetState();
  };
  // Unanswered REGISTER, first and second attempt, and un-REGISTER: ended.
  for (int state : {asRegisterSent, asRegisterAuthSent, asUnregisterSent, asUnregisterAuthSent}) {
    EXPECT_EQ(stateAfter(state, 19), state);
    EXPECT_EQ(stateAfter(state, 21), asIdle) << "state " << state;
    ASSERT_TRUE(events->WaitFor(MsgRegistrationEnded)) << "state " << state;
    EXPECT_EQ(account->GetEndReason().Kind,
              state <= asRegisterAuthSent ? TRegistrationEnd::NoAnswer : TRegistrationEnd::Unregistered);
  }
  peer.Quiet(100);
  // The STUN server did not answer within 3 s: registered without it.
  EXPECT_EQ(stateAfter(asStunSent, 2), asStunSent);
  EXPECT_EQ(stateAfter(asStunSent, 4), asRegisterSent);
  peer.Expect("REGISTER ");
  EXPECT_EQ(stateAfter(asIdle, 100000), asIdle);
  peer.Quiet(100);
}

// ---- STUN -------------------------------------------------------------------

std::string Attribute(uint16_t type, const std::string& value) {
  std::string a;
  a += char(type >> 8);
  a += char(type & 0xFF);
  a += char(value.size() >> 8);
  a += char(value.size() & 0xFF);
  return a + value;
}

std::string Ipv4Value(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return std::string{'\0', '\x01', char(port >> 8), char(port & 0xFF), char(a), char(b), char(c), char(d)};
}

std::string BindingResponse(const std::string& transactionId, const std::string& attributes) {
  std::string r{'\x01', '\x01', char(attributes.size() >> 8), char(attributes.size() & 0xFF)};
  return r + transactionId + attributes;
}

class StunTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    account->SetStunServer("127.0.0.1:" + std::to_string(stun.Port()));
    // Apart from every address an answer may carry, so that it shows where
    // the Contact host came from.
    account->SetLocalAddress("127.0.0.2");
  }

  // Starts the registration and checks the binding request; its transaction id.
  std::string Request() {
    engine->StartRegistration(account);
    std::optional<std::string> request = stun.Receive();
    if (!request) {
      ADD_FAILURE() << "no binding request";
      return "";
    }
    EXPECT_EQ(account->GetState(), asStunSent);
    EXPECT_EQ(request->size(), 28u);
    EXPECT_EQ(request->substr(0, 4), std::string("\x00\x01\x00\x08", 4));
    EXPECT_EQ(request->substr(20), std::string("\x00\x03\x00\x04\x00\x00\x00\x00", 8));
    std::string id = request->substr(4, 16);
    EXPECT_EQ(id, StunTransactionId(account->GetCallId()));
    return id;
  }

  // The Contact host of the REGISTER that follows the answer.
  std::string ContactHost() {
    std::string reg = peer.Expect("REGISTER ");
    std::string contact = Header(reg, "Contact");
    size_t at = contact.find('@');
    EXPECT_NE(Header(reg, "Via").find("127.0.0.2:"), std::string::npos);  // Via keeps the local address
    return contact.substr(at + 1, contact.find(':', at) - at - 1);
  }

  TUdpPeer stun;
};

TEST_F(StunTest, MappedAddressFirst) {
  std::string id = Request();
  stun.Send(BindingResponse(id, Attribute(0x0001, Ipv4Value(203, 0, 113, 7, 4000)) +
                                    Attribute(0x0004, Ipv4Value(127, 0, 0, 1, 3478))),
            EnginePort());
  EXPECT_EQ(ContactHost(), "203.0.113.7");
}

TEST_F(StunTest, XorMappedAddressBeforeMappedAddress) {
  std::string id = Request();
  // 198.51.100.9 XOR 2112A442; the plain attribute behind it wins.
  std::string xored = Ipv4Value(198 ^ 0x21, 51 ^ 0x12, 100 ^ 0xA4, 9 ^ 0x42, 1);
  stun.Send(BindingResponse(id, Attribute(0x0020, xored) + Attribute(0x8022, "soft") +
                                    Attribute(0x0001, Ipv4Value(203, 0, 113, 8, 4000))),
            EnginePort());
  EXPECT_EQ(ContactHost(), "203.0.113.8");
}

TEST_F(StunTest, OnlyXorMappedAddress) {
  std::string id = Request();
  std::string xored = Ipv4Value(198 ^ 0x21, 51 ^ 0x12, 100 ^ 0xA4, 9 ^ 0x42, 1);
  // A SOFTWARE attribute of odd length first: its padding must be skipped.
  stun.Send(BindingResponse(id, Attribute(0x8022, std::string("abcde\0\0\0", 8).substr(0, 5)) +
                                    std::string(3, '\0') + Attribute(0x0020, xored)),
            EnginePort());
  EXPECT_EQ(ContactHost(), "198.51.100.9");
}

TEST_F(StunTest, AttributeBeyondTheDatagramIsNotRead) {
  std::string id = Request();
  std::string cut = Attribute(0x0001, Ipv4Value(203, 0, 113, 9, 1)).substr(0, 9);
  stun.Send(BindingResponse(id, cut), EnginePort());
  EXPECT_EQ(ContactHost(), "127.0.0.2");  // registered all the same, with the local address
}

TEST_F(StunTest, AnswerOfAnotherTransactionIsIgnored) {
  std::string id = Request();
  std::string other = id;
  other[0] = other[0] == 'F' ? '0' : 'F';
  stun.Send(BindingResponse(other, Attribute(0x0001, Ipv4Value(203, 0, 113, 7, 1))), EnginePort());
  stun.Send(std::string("\x01\x01\x00", 3), EnginePort());  // too short to hold an identifier
  peer.Quiet();
  EXPECT_EQ(account->GetState(), asStunSent);
}

// The answer a real server gave to a classic request, with our identifier put in.
TEST_F(StunTest, CapturedServerAnswers) {
  for (const char* file : {"binding_response_rfc3489_client.bin", "binding_response_rfc5389_client.bin"}) {
    SCOPED_TRACE(file);
    std::string answer = ReadFile(std::string(QV_TESTDATA_DIR) + "/stun-coturn/" + file);
    ASSERT_GE(answer.size(), 20u);
    account->SetState(asIdle);
    account->SetPublicAddress("");
    std::string id = Request();
    answer.replace(4, 16, id);
    stun.Send(answer, EnginePort());
    EXPECT_EQ(ContactHost(), "127.0.0.1");
    EXPECT_EQ(account->GetState(), asRegisterSent);
  }
}

}  // namespace
