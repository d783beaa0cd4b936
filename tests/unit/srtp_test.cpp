// SRTP around a call's RTP: the sessions on their own (what passes, what is
// refused), then two calls over 127.0.0.1 whose packets are encrypted on the
// wire and still heard, and a secure call that a plain sender cannot reach.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dialogs/call.h"
#include "media/rtp.h"
#include "media/srtp.h"
#include "platform/audio_virtual.h"
#include "sip/sdes.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

using Dir = TSrtpSession::TDirection;

std::vector<uint8_t> Packet(uint16_t sequence) {
  std::vector<uint8_t> payload(160);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
  std::vector<uint8_t> p = RtpPacket(0, sequence, 160u * sequence, payload);
  p.resize(p.size() + kSrtpTrailerRoom);
  return p;
}

TEST(SrtpSession, ProtectsAndUnprotectsBothSuitesAndRefusesWhatItMust) {
  for (int suite : {kSrtpAes128Sha1_80, kSrtpAes128Sha1_32}) {
    const std::string key = NewSrtpMasterKey();
    TSrtpSession out(Dir::Outbound, suite, key), in(Dir::Inbound, suite, key);
    std::vector<uint8_t> plain = Packet(1), wire = plain;
    int length = 12 + 160;
    ASSERT_TRUE(out.Protect(wire.data(), length, int(wire.size())));
    EXPECT_EQ(length, 12 + 160 + (suite == kSrtpAes128Sha1_80 ? 10 : 4));
    EXPECT_EQ(std::memcmp(wire.data(), plain.data(), 12), 0);        // the header stays readable
    EXPECT_NE(std::memcmp(wire.data() + 12, plain.data() + 12, 160), 0);  // the payload does not
    std::vector<uint8_t> copy = wire;
    int copyLength = length;
    ASSERT_TRUE(in.Unprotect(wire.data(), length));
    EXPECT_EQ(length, 12 + 160);
    EXPECT_EQ(std::memcmp(wire.data(), plain.data(), size_t(length)), 0);
    // The same packet again: a replay.
    EXPECT_FALSE(in.Unprotect(copy.data(), copyLength));
    // A flipped bit, plain RTP, another key: none passes.
    std::vector<uint8_t> next = Packet(2);
    length = 12 + 160;
    ASSERT_TRUE(out.Protect(next.data(), length, int(next.size())));
    next[20] ^= 1;
    int l = length;
    EXPECT_FALSE(in.Unprotect(next.data(), l));
    std::vector<uint8_t> bare = Packet(3);
    l = 12 + 160;
    EXPECT_FALSE(in.Unprotect(bare.data(), l));
    TSrtpSession stranger(Dir::Outbound, suite, NewSrtpMasterKey());
    std::vector<uint8_t> forged = Packet(4);
    l = 12 + 160;
    ASSERT_TRUE(stranger.Protect(forged.data(), l, int(forged.size())));
    EXPECT_FALSE(in.Unprotect(forged.data(), l));
    // The sender never encrypts one packet index twice (keystream reuse).
    std::vector<uint8_t> again = Packet(1);
    l = 12 + 160;
    EXPECT_FALSE(out.Protect(again.data(), l, int(again.size())));
  }
  EXPECT_THROW(TSrtpSession(Dir::Inbound, kSrtpAes128Sha1_80, "short"), std::exception);
  EXPECT_THROW(TSrtpSession(Dir::Inbound, 9, NewSrtpMasterKey()), std::exception);
}

class SrtpCall : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
  }
  void TearDown() override {
    for (auto* call : {&a, &b})
      if (*call) (*call)->SetMediaActive(false);
    VirtualAudio::ResetAll();
  }
  std::shared_ptr<TCall> a, b;
};

// Both calls send a tone through SRTP; a third socket stands where B's
// packets go for a moment, to see them on the wire.
TEST_F(SrtpCall, TonesCrossEncryptedAndAKeyChangeMidCallIsFollowed) {
  VirtualAudio::SetInputTone(1, 1000, 8000);
  VirtualAudio::SetInputTone(2, 600, 8000);
  auto engine = std::make_shared<TFakeEngine>();
  a = MakeMediaCall(engine, 1, 0);
  b = MakeMediaCall(engine, 2, 0);
  Pair(*a, *b);
  TCallSrtp sa, sb;
  sa.Offer = sb.Offer = true;
  sa.Suite = sb.Suite = kSrtpAes128Sha1_80;
  sa.LocalKey = sb.RemoteKey = NewSrtpMasterKey();
  sb.LocalKey = sa.RemoteKey = NewSrtpMasterKey();
  a->SetSrtp(sa);
  b->SetSrtp(sb);
  EXPECT_TRUE(a->Media().Encrypted());
  a->SetMediaActive(true);
  b->SetMediaActive(true);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(1, 12000, 10000));
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 12000, 10000));
  EXPECT_NEAR(MeasureSpeaker(2, 1000).Frequency, 1000, 2);
  EXPECT_NEAR(MeasureSpeaker(1, 600).Frequency, 600, 2);
  EXPECT_EQ(a->GetRtpStats().SrtpRejected, 0u);

  // What A sends, seen by a stranger: RTP headers, an 80-bit tag, and no
  // PCMU of the tone (mu-law of a sine repeats its bytes every 8 samples).
  TRtpPeer tap;
  a->SetRemoteRtpPort(tap.Port());
  std::vector<uint8_t> datagram;
  ASSERT_TRUE(tap.Receive(datagram, 2000));
  ASSERT_TRUE(tap.Receive(datagram, 2000));
  ASSERT_EQ(datagram.size(), 12u + 160u + 10u);
  EXPECT_EQ(datagram[1] & 0x7F, 0);
  int repeats = 0;
  for (size_t i = 12; i + 8 < 12 + 160; ++i) repeats += datagram[i] == datagram[i + 8];
  EXPECT_LT(repeats, 20) << "the payload reads like plain PCMU";
  a->SetRemoteRtpPort(b->GetLocalRtpPort());

  // B re-keys (a new offer or answer): A follows at once, and what B sends
  // keeps arriving.
  sb.LocalKey = sa.RemoteKey = NewSrtpMasterKey();
  sb.Suite = sa.Suite = kSrtpAes128Sha1_32;
  b->SetSrtp(sb);
  a->SetSrtp(sa);
  VirtualAudio::ClearOutput(1);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(1, 12000, 10000));
  EXPECT_NEAR(MeasureSpeaker(1, 600).Frequency, 600, 2);
}

TEST_F(SrtpCall, PlainRtpDoesNotReachASecureCall) {
  VirtualAudio::SetInputTone(1, 1000, 8000);
  auto engine = std::make_shared<TFakeEngine>();
  a = MakeMediaCall(engine, 1, 0);  // plain
  b = MakeMediaCall(engine, 2, 0);  // secure
  Pair(*a, *b);
  TCallSrtp sb;
  sb.Offer = true;
  sb.Suite = kSrtpAes128Sha1_80;
  sb.LocalKey = NewSrtpMasterKey();
  sb.RemoteKey = NewSrtpMasterKey();
  b->SetSrtp(sb);
  a->SetMediaActive(true);
  b->SetMediaActive(true);
  ASSERT_TRUE(WaitFor([&] { return b->GetRtpStats().SrtpRejected >= 25; }));
  const TRtpStats stats = b->GetRtpStats();
  EXPECT_EQ(stats.Source, "");  // never latched onto the plain sender
  const std::vector<int16_t> heard = VirtualAudio::OutputSamples(2);
  if (!heard.empty()) {
    EXPECT_LT(ToneAmplitude(heard.data(), heard.size(), 1000, 8000), 50);
  }
  // Back to plain RTP (a re-offer without keys): heard again.
  b->SetSrtp(TCallSrtp());
  EXPECT_FALSE(b->Media().Encrypted());
  ASSERT_TRUE(WaitFor([&] { return !b->GetRtpStats().Source.empty(); }));
}

}  // namespace
}  // namespace qv::test
