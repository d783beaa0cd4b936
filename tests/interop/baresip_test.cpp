// Calls between our user agent (alice) and baresip (bob), both registered at
// Kamailio, which challenges every INVITE and relays the calls: hold and
// resume from either side, BYE from either side; audio both ways, measured
// as a tone at each end, and RFC 2833 digits both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "interop_ua.h"
#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "support/peer_baresip.h"
#include "support/peer_kamailio.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

constexpr double kBobTone = 440;   // what bob says
constexpr double kOurTone = 1000;  // what our microphone (virtual input 0) says
constexpr int kRate = 8000;

class BaresipTest : public ::testing::Test {
protected:
  void SetUp() override {
    VirtualAudio::ResetAll();
    VirtualAudio::SetInputTone(0, kOurTone, 8000);
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

  double WeHear(double seconds) { return FrequencyWeHear(seconds, kRate); }

  double BobHeard() { return FrequencyBaresipHeard(*bob, kRate); }

  // Our RFC 2833 digits reach bob; his (one command per digit, as a user
  // presses keys) reach us as MsgDtmf for the call.
  void ExchangeDigits(const ISipCallPtr& call) {
    const std::string ours = "19*#";
    ua.Engine().SendDtmfRfc2833(call, ours);
    for (int i = 0; i < 50 && bob->DigitsReceived().size() < ours.size(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(bob->DigitsReceived(), ours) << bob->Process().LogTail();

    std::string heard;
    for (char digit : std::string("50A")) {
      ASSERT_TRUE(bob->Command("sndcode", std::string(1, digit)));
      auto event = ua.Events().WaitFor(MsgDtmf, 3000, call);
      if (!event) break;
      heard += char(event->WParam);
    }
    EXPECT_EQ(heard, "50A") << bob->Process().LogTail();
  }

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
  EXPECT_EQ(call->GetChallenge().Status, "407");  // Kamailio challenged the INVITE
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 0);
  EXPECT_GT(call->RouteCount(), 0);         // and recorded its route

  ua.Engine().Hold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csHoldSent);
  ua.Engine().Unhold(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call)) << bob->Process().LogTail();
  EXPECT_EQ(call->GetState(), csConnected);

  ua.Engine().HangUp(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call)) << kamailio.Process().LogTail();  // at once
  EXPECT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  // The answer to the BYE comes after; with it the call object goes.
  for (int i = 0; i < 50 && ua.Engine().Calls().Count() > 0; ++i) ua.Events().Pump(100);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
  EXPECT_EQ(call->GetEndStatus(), "200");
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
  // The end is posted as the state changes; the call leaves the list just
  // after (a busy machine may show the gap).
  for (int i = 0; i < 20 && ua.Engine().Calls().Count() > 0; ++i) ua.Events().Pump(100);
  EXPECT_EQ(ua.Engine().Calls().Count(), 0);
}

TEST_F(BaresipTest, CallToBaresipCarriesAudioAndDigitsBothWays) {
  ISipCallPtr call = ua.Engine().Invite(account, "bob", -1, -1);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call, 10000)) << kamailio.Process().LogTail();
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED"));

  EXPECT_NEAR(WeHear(2), kBobTone, 2);
  ExchangeDigits(call);

  ua.Engine().HangUp(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  ASSERT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  EXPECT_NEAR(BobHeard(), kOurTone, 2) << bob->Process().LogTail();
}

TEST_F(BaresipTest, CallFromBaresipCarriesAudioAndDigitsBothWays) {
  ASSERT_TRUE(bob->Command("dial", AliceUri()));
  ISipCallPtr call = ua.WaitIncoming(10000);
  ASSERT_TRUE(call) << kamailio.Process().LogTail();
  ua.Engine().Answer(call);
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED")) << bob->Process().LogTail();

  EXPECT_NEAR(WeHear(2), kBobTone, 2);
  ExchangeDigits(call);

  ASSERT_TRUE(bob->Command("hangup"));
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  EXPECT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  EXPECT_NEAR(BobHeard(), kOurTone, 2) << bob->Process().LogTail();
}

}  // namespace
