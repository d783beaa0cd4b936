// Calls between our user agent (alice) and baresip (bob), both registered at
// Kamailio, which challenges every INVITE and relays the calls: hold and
// resume from either side, BYE from either side.
#include <gtest/gtest.h>

#include "interop_ua.h"
#include "support/peer_baresip.h"
#include "support/peer_kamailio.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

constexpr double kBobTone = 440;  // what bob says

class BaresipTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::vector<int16_t> tone = MakeTone(kBobTone, 8000, 8000 * 60, 8000);
    std::string wav = dir.File("bob-says.wav");
    WriteFile(wav, MakeWav(8000, 16, SampleBytes(tone)));
    TBaresipOptions options;
    options.User = "bob";
    options.Password = "bobpw";
    options.Registrar = kamailio.Address();
    options.SourceWav = wav;
    bob = std::make_unique<TBaresip>(dir, options);
    account = ua.AddAccount(kamailio.Address(), "alice", "alicepw");
    ASSERT_TRUE(ua.Register(account)) << kamailio.Process().LogTail();
  }

  // The SDP direction of the last re-INVITE the engine received.
  std::string LastOfferDirection() {
    ua.Events().Pump();
    std::string last;
    for (const std::string& text : ua.Events().Logs())
      if (text.compare(0, 7, "INVITE ") == 0) last = text;
    for (const char* d : {"a=sendonly", "a=recvonly", "a=inactive", "a=sendrecv"})
      if (last.find(d) != std::string::npos) return d + 2;
    return "";
  }

  std::string AliceUri() { return "sip:alice@" + kamailio.Address(); }

  TPeerDir dir;
  TKamailio kamailio{dir, {{"alice", "alicepw"}, {"bob", "bobpw"}}};
  TInteropUa ua;
  std::unique_ptr<TBaresip> bob;
  ISipAccountPtr account;
};

TEST_F(BaresipTest, CallToBaresipHoldResumeAndByeFromUs) {
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call, 10000)) << kamailio.Process().LogTail();
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED"));
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_EQ(call->GetAuthStatus(), "407");  // Kamailio challenged the INVITE
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 0);
  EXPECT_GT(call->RouteCount(), 0);         // and recorded its route

  ua.Engine().Hold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csHoldSent);
  ua.Engine().Unhold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csConnected);

  ua.Engine().HangUp(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << kamailio.Process().LogTail();
  EXPECT_EQ(call->GetEndStatus(), "200");
  EXPECT_TRUE(bob->WaitEvent("CALL_CLOSED"));
}

TEST_F(BaresipTest, CallFromBaresipHeldByItAndEndedByIt) {
  ASSERT_TRUE(bob->Command("dial", AliceUri()));
  ISipCallPtr call = ua.WaitIncoming(10000);
  ASSERT_TRUE(call) << kamailio.Process().LogTail();
  EXPECT_EQ(call->GetRemoteUser(), "bob");
  ua.Engine().Answer(call);
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED")) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csConnected);

  // bob puts us on hold and takes us back: re-INVITEs answered with our SDP.
  ASSERT_TRUE(bob->Command("hold"));
  for (int i = 0; i < 50 && LastOfferDirection() != "sendonly"; ++i) ua.Events().Pump(100);
  EXPECT_EQ(LastOfferDirection(), "sendonly");
  ASSERT_TRUE(bob->Command("resume"));
  for (int i = 0; i < 50 && LastOfferDirection() != "sendrecv"; ++i) ua.Events().Pump(100);
  EXPECT_EQ(LastOfferDirection(), "sendrecv");
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_FALSE(bob->WaitEvent("CALL_CLOSED", 500));  // our answers kept the call up

  ASSERT_TRUE(bob->Command("hangup"));
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetEndStatus(), "");
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

}  // namespace
