// The silence watch on received audio: what the default threshold calls
// silence, measured on spoken Spanish (eSpeak NG), on synthetic speech and on
// noise at the levels a call carries, through PCMU and the receive path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/dtmf.h"
#include "media/rtpreceive.h"
#include "media/silencewatch.h"
#include "media/text2speech.h"
#include "platform/clock.h"
#include "support/audiosignals.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

std::vector<int16_t> Scaled(std::vector<int16_t> samples, double dbfs) {
  const double gain = RmsForDbFs(dbfs) / Rms(samples.data(), int(samples.size()));
  for (int16_t& v : samples) v = int16_t(std::clamp(std::lround(v * gain), -32768L, 32767L));
  return samples;
}

std::vector<int16_t> Noise(double dbfs, size_t count) {
  std::mt19937 random(7);
  std::normal_distribution<double> normal(0, RmsForDbFs(dbfs));
  std::vector<int16_t> out(count);
  for (int16_t& v : out) v = int16_t(std::lround(normal(random)));
  return out;
}

// Spanish speech, repeated to `seconds`.
std::vector<int16_t> Spoken(double seconds) {
  std::string pcm;
  SpeakToPcm("Buenos dias. Le habla el contestador de la oficina; deje su mensaje despues de la senal, por favor.",
             FindSpeechVoice("es"), pcm);
  std::vector<int16_t> once = BytesSamples(pcm);
  std::vector<int16_t> out;
  while (!once.empty() && out.size() < size_t(seconds * 8000)) out.insert(out.end(), once.begin(), once.end());
  return out;
}

// The frame powers of `samples` on the watch's scale: whole band, largest bin.
void PrintLevels(const char* what, const std::vector<int16_t>& samples) {
  std::vector<double> whole;
  for (size_t f = 0; f + kFrameSamples <= samples.size(); f += kFrameSamples) whole.push_back(WholeBandPower(&samples[f]));
  std::sort(whole.begin(), whole.end());
  std::printf("%s: frame power (threshold scale) 10%% %.4f, median %.4f, 90%% %.4f, max %.4f\n", what,
              whole[whole.size() / 10], whole[whole.size() / 2], whole[whole.size() * 9 / 10], whole.back());
}

// The silence reports of a call receiving `samples` in real time (by the
// test clock) through PCMU with the watch at `threshold` and 5 s.
int SilenceReports(const std::vector<int16_t>& samples, int threshold) {
  auto engine = std::make_shared<TFakeEngine>();
  auto call = std::make_shared<TCall>(engine, "", nullptr);
  call->SetSilenceThreshold(threshold);
  call->SetSilenceTimeout(5000);
  TRtpReceiver receiver(CreateCodec(0));
  receiver.SetLastVoiceTime(GetTickMs());
  auto encoder = CreateCodec(0);
  for (size_t f = 0; f + kFrameSamples <= samples.size(); f += kFrameSamples) {
    std::vector<uint8_t> payload(160);
    encoder->Encode(&samples[f], payload.data());
    AdvanceClockForTests(20);
    auto packet = RtpPacket(0, uint16_t(f / kFrameSamples), uint32_t(f), payload);
    receiver.HandlePacket(packet.data(), int(packet.size()), *call);
  }
  int reports = 0;
  for (const auto& note : engine->DtmfNotes()) reports += note.Text == "s";
  return reports;
}

TEST(SilenceWatch, DefaultHearsSpeechFromMinus35DbfsAndNotNoiseAtMinus60) {
  const std::vector<int16_t> spoken = Spoken(12);
  ASSERT_GT(spoken.size(), 8000u * 11) << "no speech from the speech engine";
  for (double level : {-35.0, -20.0}) {
    const std::vector<int16_t> speech = Scaled(spoken, level);
    PrintLevels(level > -30 ? "spoken Spanish at -20 dBFS" : "spoken Spanish at -35 dBFS", speech);
    EXPECT_EQ(SilenceReports(speech, kDefaultSilenceThreshold), 0) << level << " dBFS";
  }
  const std::vector<int16_t> synthetic = SpeechLike(RmsForDbFs(-35), 12 * 8000);
  PrintLevels("synthetic speech at -35 dBFS", synthetic);
  EXPECT_EQ(SilenceReports(synthetic, kDefaultSilenceThreshold), 0);
  const std::vector<int16_t> noise = Noise(-60, 12 * 8000);
  PrintLevels("noise at -60 dBFS", noise);
  EXPECT_EQ(SilenceReports(noise, kDefaultSilenceThreshold), 2) << "12 s of line noise: a report every 5 s";
  EXPECT_EQ(SilenceReports(std::vector<int16_t>(12 * 8000, 0), kDefaultSilenceThreshold), 2);
}

TEST(SilenceWatch, AThresholdTheUserSetKeepsItsMeaning) {
  // 500 is the level of a sine of amplitude sqrt(500)/80 = 0.28 of full
  // scale at a bin's frequency: below it silence, above it not, as before.
  auto frameOf = [](double hz, double amplitude) { return MakeTone(hz, amplitude * 32767, 160, 8000); };
  auto silent = [](const std::vector<int16_t>& frame, int threshold) {
    uint8_t input[kDetectorSamples];
    PcmToDetectorInput(frame.data(), input);
    return IsSilentFrame(frame.data(), input, threshold);
  };
  EXPECT_TRUE(silent(frameOf(700, 0.24), 500));
  EXPECT_FALSE(silent(frameOf(700, 0.32), 500));
  // Between the detector's bins the old watch heard nothing at any level;
  // now the same level counts there too.
  EXPECT_TRUE(silent(frameOf(1000, 0.24), 500));
  EXPECT_FALSE(silent(frameOf(1000, 0.32), 500));
  EXPECT_FALSE(silent(frameOf(1000, 0.9), 500));
  EXPECT_FALSE(silent(frameOf(1000, 0.9), 0)) << "0 turns the watch off";
}

}  // namespace
}  // namespace qv::test
