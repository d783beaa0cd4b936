// Our user agent against sipp scenarios written for it (tests/interop/sipp/).
// Each scenario must pass with sipp's exit code 0; the engine's side of each
// exchange is checked through the events it posts.
#include <gtest/gtest.h>

#include "interop_ua.h"
#include "support/peer_sipp.h"

using namespace qv;
using namespace qv::test;

namespace {

class SippTest : public ::testing::Test {
protected:
  // sipp calls us: our account's server is the sipp instance about to start
  // on `port` (the engine sends its responses there).
  std::unique_ptr<TSipp> Caller(const std::string& scenario, int port) {
    TSippOptions options;
    options.Remote = ua.Address();
    options.LocalPort = port;
    options.Extra = {"-s", "alice"};
    return std::make_unique<TSipp>(dir, scenario, options);
  }
  // sipp waits for us to call it; the account points at it.
  std::unique_ptr<TSipp> Callee(const std::string& scenario) {
    auto sipp = std::make_unique<TSipp>(dir, scenario, TSippOptions{});
    account = ua.AddAccount(sipp->Address(), "alice", "alicepw");
    return sipp;
  }
  void ExpectPassed(TSipp& sipp) {
    int rc = sipp.Wait(30000);
    EXPECT_EQ(rc, 0) << sipp.Report();
  }

  TPeerDir dir;
  TInteropUa ua;
  ISipAccountPtr account;
};

TEST_F(SippTest, ChallengedInviteThenAnswered) {
  auto sipp = Callee("uas_auth_answer.xml");
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgRingback, call)) << sipp->Report();
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << sipp->Report();
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_EQ(call->GetChallenge().Status, "407");
  ua.Engine().HangUp(call);
  EXPECT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  ExpectPassed(*sipp);
}

TEST_F(SippTest, BusyAnswerIsAcknowledgedOnce) {
  auto sipp = Callee("uas_486.xml");
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  EXPECT_EQ(call->GetEndStatus(), "486");
  ExpectPassed(*sipp);
}

TEST_F(SippTest, TransferByReferChallengedThenNotified) {
  auto sipp = Callee("uas_refer.xml");
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << sipp->Report();
  ua.Engine().Transfer(call, "carol");
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

TEST_F(SippTest, CallAnsweredThenByeFromTheCaller) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_answer_bye.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  EXPECT_EQ(call->GetEndStatus(), "");
  ExpectPassed(*sipp);
}

TEST_F(SippTest, CancelWhileRinging) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_cancel.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

TEST_F(SippTest, ReInviteFromThePeer) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  auto sipp = Caller("uac_reinvite.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
}

TEST_F(SippTest, OptionsAndMessage) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  ExpectPassed(*Caller("uac_options.xml", port));
  ExpectPassed(*Caller("uac_message.xml", port));
}

// INFO is taken only for a registered account: sipp first plays the
// registrar, then, from the same port, the caller.
TEST_F(SippTest, DtmfByInfo) {
  int port = FreeUdpPort();
  account = ua.AddAccount("127.0.0.1:" + std::to_string(port), "alice", "alicepw");
  {
    TSippOptions options;
    options.LocalPort = port;
    TSipp registrar(dir, "uas_register.xml", options);
    ASSERT_TRUE(ua.Register(account)) << registrar.Report();
    ExpectPassed(registrar);
  }
  auto sipp = Caller("uac_info.xml", port);
  ISipCallPtr call = ua.WaitIncoming();
  ASSERT_TRUE(call) << sipp->Report();
  ua.Engine().Answer(call);
  auto dtmf = ua.Events().WaitFor(MsgDtmf, 5000, call);
  ASSERT_TRUE(dtmf) << sipp->Report();
  EXPECT_EQ(dtmf->WParam, uintptr_t('#'));
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << sipp->Report();
  ExpectPassed(*sipp);
}

}  // namespace
