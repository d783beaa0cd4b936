// SIP and RTP over IPv6: two of our user agents register at Kamailio on
// [::1] and call each other through it; the messages carry the address in
// brackets (Via, Contact, URIs) and the SDP says IN IP6; the audio crosses
// both ways over ::1.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "interop_ua.h"
#include "platform/audio_virtual.h"
#include "support/peer_kamailio.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

bool LoopbackHasIpv6() {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("ip -6 addr show dev lo 2>/dev/null", "r"), pclose);
  if (!pipe) return false;
  std::string text;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe.get())) text += buffer;
  return text.find("inet6 ::1/128") != std::string::npos;
}

// The received datagrams of `ua` that start with `start`.
std::vector<std::string> Received(TInteropUa& ua, const std::string& start) {
  ua.Events().Pump();
  std::vector<std::string> found;
  for (const std::string& text : ua.Events().Logs())
    if (text.compare(0, start.size(), start) == 0) found.push_back(text);
  return found;
}

// The frequency our speaker `device` played in its last second, 0 when it
// played too little or only silence.
double Heard(int device) {
  VirtualAudio::WaitOutputSamples(device, 16000, 6000);
  const int rate = int(VirtualAudio::OutputFormat(device).SamplesPerSec);
  std::vector<int16_t> played = VirtualAudio::OutputSamples(device);
  if (rate <= 0 || played.size() < size_t(rate)) return 0;
  const int16_t* last = played.data() + played.size() - size_t(rate);
  if (Rms(last, size_t(rate)) < 500) return 0;
  return DominantFrequency(last, size_t(rate), rate);
}

TEST(KamailioIpv6, RegisterAndCallOverLoopback) {
  ASSERT_TRUE(LoopbackHasIpv6()) << "the test's namespace has no ::1 on lo";
  VirtualAudio::ResetAll();
  VirtualAudio::SetInputTone(1, 1000, 8000);  // alice's microphone
  VirtualAudio::SetInputTone(2, 440, 8000);   // bob's
  TPeerDir dir;
  TKamailio kamailio(dir, {{"alice", "alicepw"}, {"bob", "bobpw"}}, false, 0, {"WITH_IPV6"});
  TInteropUa alice, bob;
  ISipAccountPtr aliceAccount = alice.AddAccount(kamailio.Ipv6Address(), "alice", "alicepw");
  ISipAccountPtr bobAccount = bob.AddAccount(kamailio.Ipv6Address(), "bob", "bobpw");
  ASSERT_TRUE(alice.Register(aliceAccount)) << kamailio.Process().LogTail();
  ASSERT_TRUE(bob.Register(bobAccount)) << kamailio.Process().LogTail();
  EXPECT_EQ(aliceAccount->GetServer(), "::1");
  EXPECT_EQ(aliceAccount->GetLocalAddress(), "::1");
  auto registered = Received(alice, "SIP/2.0 200");
  ASSERT_FALSE(registered.empty());
  // The registrar lists the binding as we wrote it; our Via came back with it.
  EXPECT_NE(registered.back().find("Contact: <sip:alice@[::1]:" + std::to_string(alice.Port()) + ">"),
            std::string::npos) << registered.back();
  EXPECT_NE(registered.back().find("Via: SIP/2.0/UDP [::1]:" + std::to_string(alice.Port()) + ";rport="),
            std::string::npos) << registered.back();
  EXPECT_NE(registered.back().find("To: <sip:alice@[::1]>"), std::string::npos) << registered.back();

  ISipCallPtr call = alice.Engine().Invite(aliceAccount, "bob", 1, 1);
  ISipCallPtr incoming = bob.WaitIncoming(10000);
  ASSERT_TRUE(incoming) << kamailio.Process().LogTail();
  auto invites = Received(bob, "INVITE sip:bob@[::1]:");
  ASSERT_EQ(invites.size(), 1u);
  EXPECT_NE(invites[0].find("\r\nc=IN IP6 ::1\r\n"), std::string::npos) << invites[0];
  EXPECT_NE(invites[0].find(" IN IP6 ::1\r\n"), std::string::npos) << invites[0];
  incoming->SetInputDevice(2);
  incoming->SetOutputDevice(2);
  bob.Engine().Answer(incoming);
  ASSERT_TRUE(alice.WaitCallEvent(MsgCallAnswered, call, 10000)) << kamailio.Process().LogTail();
  EXPECT_EQ(call->GetChallenge().Status, "407");
  EXPECT_EQ(call->GetRemoteRtpAddress(), "::1");
  EXPECT_EQ(incoming->GetRemoteRtpAddress(), "::1");

  const double aliceHears = Heard(1), bobHears = Heard(2);
  std::printf("over ::1: alice hears %.1f Hz, bob hears %.1f Hz\n", aliceHears, bobHears);
  EXPECT_NEAR(aliceHears, 440, 2);
  EXPECT_NEAR(bobHears, 1000, 2);

  alice.Engine().HangUp(call);
  ASSERT_TRUE(alice.WaitCallEvent(MsgCallEnded, call));
  EXPECT_TRUE(bob.WaitCallEvent(MsgCallEnded, incoming));
  // The call ends for the application at once; the BYE's answer comes back
  // through the proxy after it.
  for (int i = 0; i < 50 && call->GetEndStatus().empty(); ++i) alice.Events().Pump(20);
  EXPECT_EQ(call->GetEndStatus(), "200") << kamailio.Process().LogTail();
}

}  // namespace
