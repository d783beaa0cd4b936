// Wideband calls end to end: two calls over 127.0.0.1 on virtual sound
// devices, with Opus or G.722, each "microphone" saying three tones at once
// (300, 1000 and 6000 Hz). The 6000 Hz tone can only cross a path that is
// wideband from microphone to speaker. Digits, WAV prompts, the recorder and
// the conference must keep working at the wider rate.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <thread>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/conference.h"
#include "media/recorder.h"
#include "media/resources.h"
#include "media/wavfiles.h"
#include "platform/audio_virtual.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr double kTones[] = {300, 1000, 6000};
constexpr double kAmplitude = 6000;  // each tone's; the sum peaks at 18000

std::vector<int16_t> ThreeTones(int rate, size_t count) {
  std::vector<int16_t> sum(count, 0);
  for (double hz : kTones) {
    std::vector<int16_t> tone = MakeTone(hz, kAmplitude, count, rate);
    for (size_t i = 0; i < count; ++i) sum[i] = int16_t(sum[i] + tone[i]);
  }
  return sum;
}

struct TSide {
  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TCall> call;
  std::string Notes() const {
    std::string text;
    for (const auto& note : engine->DtmfNotes()) text += note.Text;
    return text;
  }
};

class WidebandCall : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
  }
  void TearDown() override {
    for (TSide* s : {&a, &b})
      if (s->call) s->call->SetMediaActive(false);
    VirtualAudio::ResetAll();
  }
  void Connect(int payloadType) {
    a.call = MakeMediaCall(a.engine, 1, payloadType);
    b.call = MakeMediaCall(b.engine, 2, payloadType);
    Pair(*a.call, *b.call);
    a.call->SetMediaActive(true);
    b.call->SetMediaActive(true);
  }
  // The level of each tone in the last second speaker `device` played, in dB
  // against what its microphone said.
  std::vector<double> HeardLevels(int device) {
    const int rate = int(VirtualAudio::OutputFormat(device).SamplesPerSec);
    std::vector<int16_t> played = VirtualAudio::OutputSamples(device);
    std::vector<double> levels;
    if (played.size() < size_t(rate)) return levels;
    const int16_t* last = played.data() + played.size() - size_t(rate);
    for (double hz : kTones)
      levels.push_back(20 * std::log10(std::max(ToneAmplitude(last, size_t(rate), hz, rate), 1.0) / kAmplitude));
    return levels;
  }

  TSide a, b;
};

class WidebandTones : public WidebandCall, public ::testing::WithParamInterface<int> {};

TEST_P(WidebandTones, AllThreeTonesCrossBothWays) {
  const int type = GetParam();
  VirtualAudio::SetInputPcm(1, ThreeTones(16000, 16000), 16000, true);
  VirtualAudio::SetInputPcm(2, ThreeTones(16000, 16000), 16000, true);
  Connect(type);
  EXPECT_EQ(a.call->GetAudioRate(), 16000);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(1, 16000 * 3 / 2, 10000));
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 16000 * 3 / 2, 10000));
  for (int device : {1, 2}) {
    EXPECT_EQ(VirtualAudio::OutputFormat(device).SamplesPerSec, 16000u);
    const std::vector<double> levels = HeardLevels(device);
    ASSERT_EQ(levels.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      std::printf("payload type %d, speaker %d: %g Hz at %.1f dB\n", type, device, kTones[i], levels[i]);
      EXPECT_GT(levels[i], -3.0) << kTones[i] << " Hz at speaker " << device;
      EXPECT_LT(levels[i], 2.0) << kTones[i] << " Hz at speaker " << device;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, WidebandTones, ::testing::Values(kCodecOpus, kCodecG722),
                         [](const auto& info) { return std::string(info.param == kCodecOpus ? "Opus" : "G722"); });

TEST_F(WidebandCall, NarrowbandCallRunsAt8000AndLosesTheHighTone) {
  VirtualAudio::SetInputPcm(1, ThreeTones(16000, 16000), 16000, true);
  Connect(kCodecPCMU);
  EXPECT_EQ(a.call->GetAudioRate(), 8000);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 8000 * 3 / 2, 10000));
  EXPECT_EQ(VirtualAudio::OutputFormat(2).SamplesPerSec, 8000u);
  const std::vector<double> levels = HeardLevels(2);
  ASSERT_EQ(levels.size(), 3u);
  EXPECT_GT(levels[1], -3.0);  // 1000 Hz
}

TEST_F(WidebandCall, OpusCarriesDigitsAsEventsAndAsTones) {
  Connect(kCodecOpus);
  a.call->QueueDtmf("159#");
  ASSERT_TRUE(WaitFor([&] { return a.call->GetDtmfQueue().empty(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(b.Notes(), "159#");

  // An 8000 Hz prompt (the resource tone of digit 9) through Opus at 16000 Hz
  // still reads as the digit at the far end's detector.
  std::istringstream bytes{std::string(GetResource(9))};
  b.call->SetWavSource(std::make_shared<TWavStream>(bytes));
  ASSERT_TRUE(WaitFor([&] { return a.Notes().find('9') != std::string::npos; })) << "nothing detected";
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(a.Notes(), "9");
}

TEST_F(WidebandCall, RecorderStaysAt8000AndHearsBothSides) {
  VirtualAudio::SetInputTone(1, 700, 8000);
  VirtualAudio::SetInputTone(2, 1300, 8000);
  Connect(kCodecG722);
  auto recorder = std::make_shared<TSipRecorder>();
  a.call->SetRecorder(recorder);
  std::this_thread::sleep_for(1500ms);
  a.call->SetRecorder(nullptr);
  const std::string& track = recorder->Track();
  ASSERT_GT(track.size(), 16000u);  // 8000 Hz PCM: more than a second
  const std::vector<int16_t> last = BytesSamples(std::string_view(track).substr(track.size() - 8000));
  // The track is the average of both sides: each at about half its level.
  EXPECT_GT(ToneAmplitude(last.data(), last.size(), 700, 8000), 2500.0);
  EXPECT_GT(ToneAmplitude(last.data(), last.size(), 1300, 8000), 2500.0);
  std::ostringstream file;
  recorder->SaveToStream(file);
  EXPECT_EQ(file.str().substr(20, 2), std::string("\x31\x00", 2));  // GSM 6.10
}

TEST_F(WidebandCall, ConferenceMixesWidebandCallsAndAloneKeepsTheBand) {
  VirtualAudio::SetInputPcm(1, ThreeTones(16000, 16000), 16000, true);
  VirtualAudio::SetInputSilence(2);
  Connect(kCodecOpus);
  auto conference = std::make_shared<TSipConference>();
  a.call->SetConference(conference);
  std::this_thread::sleep_for(1200ms);
  // A call alone in a conference: nothing is mixed in, the band stays whole.
  std::vector<double> levels = HeardLevels(2);
  ASSERT_EQ(levels.size(), 3u);
  EXPECT_GT(levels[2], -3.0) << "the 6000 Hz tone of a call alone in a conference";

  // A third party (a narrowband call) joins: B hears A's capture averaged
  // with the third call's audio.
  TSide c;
  c.call = MakeMediaCall(c.engine, 3, kCodecPCMU);
  TSide d;
  d.call = MakeMediaCall(d.engine, 4, kCodecPCMU);
  Pair(*c.call, *d.call);
  VirtualAudio::SetInputTone(4, 2000, 8000);
  c.call->SetMediaActive(true);
  d.call->SetMediaActive(true);
  c.call->SetConference(conference);
  std::this_thread::sleep_for(1500ms);
  std::vector<int16_t> played = VirtualAudio::OutputSamples(2);
  ASSERT_GE(played.size(), 16000u);
  const int16_t* last = played.data() + played.size() - 16000;
  EXPECT_GT(ToneAmplitude(last, 16000, 2000, 16000), 1000.0) << "C's far end reached B through the conference";
  EXPECT_GT(ToneAmplitude(last, 16000, 1000, 16000), 1000.0) << "A's own voice still reached B";
  c.call->SetMediaActive(false);
  d.call->SetMediaActive(false);
  a.call->SetConference(nullptr);
}

}  // namespace
}  // namespace qv::test
