// Wideband calls between our user agent (alice) and baresip (bob) through
// Kamailio, with Opus and with G.722, each side calling the other. Both
// microphones say three tones at once (300, 1000 and 6000 Hz, 16000 Hz
// sources); each end measures the level of every tone it heard against what
// was said. The 6000 Hz tone only crosses a path that is wideband from one
// microphone to the other speaker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "interop_ua.h"
#include "media/codecs.h"
#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "support/peer_baresip.h"
#include "support/peer_kamailio.h"
#include "support/tone_analysis.h"

using namespace qv;
using namespace qv::test;

namespace {

constexpr double kTones[] = {300, 1000, 6000};
constexpr double kAmplitude = 6000;  // each tone's; the sum peaks at 18000
constexpr int kSourceRate = 16000;
// The band may tilt a little through a codec and two resamplers, and Opus at
// its default bit rate shapes its noise, but a tone that did not cross is
// 40 dB or more down.
constexpr double kLowestLevelDb = -6;
constexpr double kHighestLevelDb = 3;

std::vector<int16_t> ThreeTones(int rate, size_t count) {
  std::vector<int16_t> sum(count, 0);
  for (double hz : kTones) {
    std::vector<int16_t> tone = MakeTone(hz, kAmplitude, count, rate);
    for (size_t i = 0; i < count; ++i) sum[i] = int16_t(sum[i] + tone[i]);
  }
  return sum;
}

// Each tone's level in dB against kAmplitude in one second of `samples`
// starting at `from`; empty when there is not that much.
std::vector<double> Levels(const std::vector<int16_t>& samples, size_t from, int rate) {
  std::vector<double> levels;
  if (rate <= 0 || samples.size() < from + size_t(rate)) return levels;
  for (double hz : kTones)
    levels.push_back(20 * std::log10(std::max(ToneAmplitude(samples.data() + from, size_t(rate), hz, rate), 1.0) /
                                     kAmplitude));
  return levels;
}

struct TWidebandCase {
  const char* Name;
  const char* BaresipCodec;   // its account's audio_codecs
  const char* BaresipModule;
  int OurCodec;
  bool WeCall;
};

void PrintTo(const TWidebandCase& c, std::ostream* out) { *out << c.Name; }

class BaresipWideband : public ::testing::TestWithParam<TWidebandCase> {
protected:
  void SetUp() override {
    VirtualAudio::ResetAll();
    VirtualAudio::SetInputPcm(0, ThreeTones(kSourceRate, kSourceRate), kSourceRate, true);
    std::string wav = dir.File("bob-says.wav");
    WriteFile(wav, MakeWav(kSourceRate, 16, SampleBytes(ThreeTones(kSourceRate, kSourceRate * 60))));
    TBaresipOptions options;
    options.User = "bob";
    options.Password = "bobpw";
    options.Registrar = kamailio.Address();
    options.SourceWav = wav;
    options.Codecs = GetParam().BaresipCodec;
    options.CodecModules = {GetParam().BaresipModule};
    options.SourceRate = kSourceRate;
    bob = std::make_unique<TBaresip>(dir, options);
    ua.Engine().SetCodecs(WidebandCodecs());
    account = ua.AddAccount(kamailio.Address(), "alice", "alicepw");
    ASSERT_TRUE(ua.Register(account)) << kamailio.Process().LogTail();
  }

  // What our speaker (virtual output 0) played in the last second, once it
  // has played two seconds.
  std::vector<double> WeHeard() {
    VirtualAudio::WaitOutputSamples(0, 2 * kSourceRate, 8000);
    const int rate = int(VirtualAudio::OutputFormat(0).SamplesPerSec);
    std::vector<int16_t> played = VirtualAudio::OutputSamples(0);
    if (played.size() < size_t(rate)) return {};
    return Levels(played, played.size() - size_t(rate), rate);
  }

  // What bob heard in the second from 0.5 s into the call, from his
  // recording of the decoded audio (at the rate his codec decodes at).
  std::vector<double> BobHeard(int* rate) {
    for (const std::string& path : bob->RecordedAudio()) {
      if (path.find("-dec.wav") == std::string::npos) continue;
      TMonoPcm heard = ReadWavAsMono16(path);
      *rate = int(heard.SampleRate);
      return Levels(heard.Samples, heard.SampleRate / 2, int(heard.SampleRate));
    }
    return {};
  }

  void ExpectBand(const std::vector<double>& levels, const char* where, int rate) {
    ASSERT_EQ(levels.size(), 3u) << where << " heard too little";
    for (size_t i = 0; i < 3; ++i) {
      std::printf("%s, %s: %g Hz at %.1f dB (%d Hz audio)\n", GetParam().Name, where, kTones[i], levels[i], rate);
      EXPECT_GT(levels[i], kLowestLevelDb) << kTones[i] << " Hz, " << where;
      EXPECT_LT(levels[i], kHighestLevelDb) << kTones[i] << " Hz, " << where;
    }
  }

  TPeerDir dir;
  TKamailio kamailio{dir, {{"alice", "alicepw"}, {"bob", "bobpw"}}};
  TInteropUa ua;
  std::unique_ptr<TBaresip> bob;
  ISipAccountPtr account;
};

TEST_P(BaresipWideband, ThreeTonesCrossBothWays) {
  ISipCallPtr call;
  if (GetParam().WeCall) {
    call = ua.Engine().Invite(account, "bob", -1, -1);
    ASSERT_TRUE(ua.WaitCallEvent(MsgCallAnswered, call, 10000)) << kamailio.Process().LogTail();
  } else {
    ASSERT_TRUE(bob->Command("dial", "sip:alice@" + kamailio.Address()));
    call = ua.WaitIncoming(10000);
    ASSERT_TRUE(call) << kamailio.Process().LogTail();
    ua.Engine().Answer(call);
  }
  ASSERT_TRUE(bob->WaitEvent("CALL_ESTABLISHED")) << bob->Process().LogTail();
  ASSERT_TRUE(call->GetCodec());
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), GetParam().OurCodec);
  EXPECT_EQ(call->GetAudioRate(), 16000);

  ExpectBand(WeHeard(), "we heard", int(VirtualAudio::OutputFormat(0).SamplesPerSec));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // bob's recording reaches 1.5 s too

  ua.Engine().HangUp(call);
  ASSERT_TRUE(ua.WaitCallEvent(MsgCallEnded, call));
  ASSERT_TRUE(bob->WaitEvent("CALL_CLOSED"));
  int bobRate = 0;
  std::vector<double> bobLevels = BobHeard(&bobRate);
  ExpectBand(bobLevels, "baresip heard", bobRate);
}

INSTANTIATE_TEST_SUITE_P(Codecs, BaresipWideband,
                         ::testing::Values(TWidebandCase{"OpusWeCall", "opus", "opus.so", kCodecOpus, true},
                                           TWidebandCase{"OpusBaresipCalls", "opus", "opus.so", kCodecOpus, false},
                                           TWidebandCase{"G722WeCall", "G722", "g722.so", kCodecG722, true},
                                           TWidebandCase{"G722BaresipCalls", "G722", "g722.so", kCodecG722, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
