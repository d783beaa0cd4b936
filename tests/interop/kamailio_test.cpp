// Registration and instant messages through Kamailio as registrar and proxy
// with Digest authentication, with and without qop in its challenges.
#include <gtest/gtest.h>

#include "interop_ua.h"
#include "support/peer_kamailio.h"

using namespace qv;
using namespace qv::test;

namespace {

// The received datagrams of the engine that start with `start`, in order.
std::vector<std::string> ReceivedStartingWith(TInteropUa& ua, const std::string& start) {
  ua.Events().Pump();
  std::vector<std::string> found;
  for (const std::string& text : ua.Events().Logs())
    if (text.compare(0, start.size(), start) == 0) found.push_back(text);
  return found;
}

class KamailioTest : public ::testing::TestWithParam<bool> {
protected:
  TPeerDir dir;
  TKamailio kamailio{dir, {{"alice", "alicepw"}, {"bob", "bobpw"}}, GetParam()};
  TInteropUa ua;
};

TEST_P(KamailioTest, RegisterThenUnregister) {
  ISipAccountPtr account = ua.AddAccount(kamailio.Address(), "alice", "alicepw");
  ASSERT_TRUE(ua.Register(account)) << kamailio.Process().LogTail();
  EXPECT_EQ(account->GetState(), asRegistered);
  // REGISTER, 401, REGISTER with credentials, 200 listing our binding.
  auto responses = ReceivedStartingWith(ua, "SIP/2.0 ");
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].substr(0, 11), "SIP/2.0 401");
  EXPECT_NE(responses[0].find(GetParam() ? "qop=\"auth\"" : "nonce="), std::string::npos);
  EXPECT_EQ(responses[1].substr(0, 11), "SIP/2.0 200");
  EXPECT_NE(responses[1].find("Contact: <sip:alice@127.0.0.1:" + std::to_string(ua.Port()) + ">"),
            std::string::npos) << responses[1];

  ua.Engine().Unregister(account);
  ASSERT_TRUE(ua.Events().WaitFor(MsgRegistrationEnded, 5000)) << kamailio.Process().LogTail();
  EXPECT_EQ(account->GetState(), asIdle);
  // The engine logs a datagram after dispatching it, so the last 200 may be
  // logged just after the event it caused.
  responses = ReceivedStartingWith(ua, "SIP/2.0 ");
  for (int i = 0; i < 20 && responses.size() < 4; ++i) {
    ua.Events().Pump(50);
    responses = ReceivedStartingWith(ua, "SIP/2.0 ");
  }
  ASSERT_EQ(responses.size(), 4u);
  EXPECT_EQ(responses[2].substr(0, 11), "SIP/2.0 401");  // the un-REGISTER is challenged too
  EXPECT_EQ(responses[3].substr(0, 11), "SIP/2.0 200");
  EXPECT_EQ(responses[3].find("Contact:"), std::string::npos) << "binding left:\n" << responses[3];
}

TEST_P(KamailioTest, WrongPasswordEndsTheRegistration) {
  ISipAccountPtr account = ua.AddAccount(kamailio.Address(), "alice", "not-the-password");
  EXPECT_FALSE(ua.Register(account));
  EXPECT_EQ(account->GetState(), asIdle);
  EXPECT_EQ(ReceivedStartingWith(ua, "SIP/2.0 401").size(), 2u);
}

// alice writes to herself: Kamailio challenges the MESSAGE with 407, relays
// the one with credentials to alice's binding (us), and our 200 comes back.
TEST_P(KamailioTest, MessageAnswersItsChallenge) {
  ISipAccountPtr account = ua.AddAccount(kamailio.Address(), "alice", "alicepw");
  ASSERT_TRUE(ua.Register(account));
  ua.Engine().SendMessage(account, "alice", "hola");
  for (int i = 0; i < 50 && ReceivedStartingWith(ua, "MESSAGE ").empty(); ++i) ua.Events().Pump(100);
  auto requests = ReceivedStartingWith(ua, "MESSAGE sip:alice@");
  ASSERT_EQ(requests.size(), 1u) << kamailio.Process().LogTail();
  EXPECT_EQ(requests[0].substr(requests[0].size() - 4), "hola");
  ua.Events().Pump(300);
  size_t challenged = 0, answered = 0;
  for (const std::string& r : ReceivedStartingWith(ua, "SIP/2.0 ")) {
    if (r.find(" MESSAGE\r\n") == std::string::npos) continue;
    challenged += r.compare(0, 11, "SIP/2.0 407") == 0;
    answered += r.compare(0, 11, "SIP/2.0 200") == 0;
  }
  EXPECT_EQ(challenged, 1u);
  EXPECT_EQ(answered, 1u);
  EXPECT_EQ(account->GetMessageText(), "");
}

INSTANTIATE_TEST_SUITE_P(Challenges, KamailioTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithQop" : "WithoutQop"; });

}  // namespace
