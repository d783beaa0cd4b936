// What is played into, recorded from and mixed between calls, heard at the
// far end: calls over 127.0.0.1 on virtual sound devices, real threads and
// sockets, the engine's own PlayWavFile and PlayWavStream where it offers them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "dialogs/call.h"
#include "media/conference.h"
#include "media/recorder.h"
#include "media/text2speech.h"
#include "platform/audio_virtual.h"
#include "platform/errors.h"
#include "platform/messagequeue.h"
#include "engine/sipengine.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class MediaFeatures : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
  }
  void TearDown() override {
    for (auto& call : calls)
      if (call) call->SetMediaActive(false);
    calls.clear();
    if (window) window->Clear();  // the WAV-stopped messages hold their calls
    VirtualAudio::ResetAll();
  }

  // A call on `device` kept for TearDown.
  std::shared_ptr<TCall> Call(const ISipEnginePtr& engine, int device, int payloadType,
                              const std::string& callId = "") {
    calls.push_back(MakeMediaCall(engine, device, payloadType, callId));
    return calls.back();
  }
  // An engine that is never activated: what PlayWavFile/PlayWavStream need of
  // it is the call's source and the WAV-stopped event on `window`.
  std::shared_ptr<TSipEngine> Engine() {
    window = std::make_shared<TMessageQueue>();
    auto engine = std::make_shared<TSipEngine>(0, window);
    // The microphone's tone is told from the file's by its pitch: the noise
    // suppressor would take the steady tone for noise.
    engine->SetEchoCancellation(false);
    return engine;
  }
  // MsgWavStopped events queued so far (other events are dropped), each
  // checked to carry `call`.
  int TakeWavStopped(const std::shared_ptr<TCall>& call) {
    int count = 0;
    TMessage message;
    while (window->Get(message)) {
      if (message.Msg != MsgWavStopped) continue;
      EXPECT_EQ(message.Obj.get(), static_cast<IInterface*>(call.get()));
      ++count;
    }
    return count;
  }

  std::vector<std::shared_ptr<TCall>> calls;
  TMessageQueuePtr window;
};

// Per 20 ms frame of `samples`: its RMS.
std::vector<double> FrameLevels(const std::vector<int16_t>& samples) {
  std::vector<double> levels;
  for (size_t at = 0; at + kFrameSamples <= samples.size(); at += kFrameSamples)
    levels.push_back(Rms(samples.data() + at, kFrameSamples));
  return levels;
}

// First and one-past-last frame louder than `level`; {0, 0} when none is.
std::pair<size_t, size_t> LoudSpan(const std::vector<double>& levels, double level) {
  size_t first = levels.size(), last = 0;
  for (size_t i = 0; i < levels.size(); ++i)
    if (levels[i] > level) {
      first = std::min(first, i);
      last = i + 1;
    }
  return first < last ? std::pair{first, last} : std::pair<size_t, size_t>{0, 0};
}

TEST_F(MediaFeatures, RecordingOfACallDecodesToTheFarEndsTone) {
  ASSERT_EQ(std::system("sox --version >/dev/null 2>&1"), 0) << "sox is needed (scripts/install-deps.sh installs it)";
  TScratchDir dir;
  auto engine = std::make_shared<TFakeEngine>();
  auto near = Call(engine, 1, 0);
  auto far = Call(engine, 2, 0);
  Pair(*near, *far);
  VirtualAudio::SetInputTone(2, 1000, 8000);  // the far end speaks, the near room is quiet
  auto recorder = std::make_shared<TSipRecorder>();
  near->SetRecorder(recorder);
  near->SetMediaActive(true);
  far->SetMediaActive(true);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(1, 3 * 8000, 10000));
  near->SetRecorder(nullptr);  // no frame arrives after this
  const size_t recorded = recorder->Track().size() / 2;
  ASSERT_GT(recorded, 2u * 8000) << "the recorder saw too little of the call";

  const std::string wav = dir.File("call.wav");
  recorder->SaveToFile(wav);
  EXPECT_TRUE(recorder->Track().empty());
  const std::string raw = dir.File("call.raw");
  const std::string command = "sox '" + wav + "' -t raw -e signed -b 16 -c 1 -r 8000 '" + raw + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<int16_t> decoded = BytesSamples(ReadFile(raw));
  // Whole 320-sample blocks of the track were coded.
  EXPECT_EQ(decoded.size(), recorded / 320 * 320);
  // The first frames are the quiet room alone (the far audio takes a few
  // frames to arrive); the rest is the average of both sides.
  const double hz = DominantFrequency(decoded.data(), decoded.size(), 8000);
  std::printf("recorded call: %zu samples, dominant %.2f Hz\n", decoded.size(), hz);
  EXPECT_NEAR(hz, 1000, 5);
  const size_t tail = decoded.size() - 8000;  // the last second
  // Half the far tone (averaged with the quiet room), less what GSM loses.
  const double level = ToneAmplitude(decoded.data() + tail, 8000, 1000, 8000);
  EXPECT_GT(level, 2500);
  EXPECT_LT(level, 4400);
}

TEST_F(MediaFeatures, SpokenGreetingReachesTheFarEndWhole) {
  const int spanish = FindSpeechVoice("es");
  ASSERT_GE(spanish, 0) << "no Spanish voice installed";
  std::string pcm;
  SpeakToPcm("Hola, bienvenido", spanish, pcm);
  const std::vector<int16_t> spoken = BytesSamples(pcm);
  const auto [spokenFirst, spokenLast] = LoudSpan(FrameLevels(spoken), 200);
  ASSERT_GT(spokenLast - spokenFirst, 25u) << "the speech engine said less than half a second";

  auto engine = Engine();
  auto near = Call(engine, 1, 8);
  auto far = Call(std::make_shared<TFakeEngine>(), 2, 8);
  Pair(*near, *far);
  near->SetMediaActive(true);
  far->SetMediaActive(true);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 1600, 5000));

  std::istringstream stream(pcm);
  const auto start = TClock::now();
  engine->PlayWavStream(near, stream, 0);
  int stopped = 0;
  ASSERT_TRUE(WaitFor([&] { return (stopped += TakeWavStopped(near)) > 0; }, 10s)) << "the speech never ended";
  const double took = std::chrono::duration<double>(TClock::now() - start).count();
  std::this_thread::sleep_for(300ms);  // the last frames cross and play
  EXPECT_EQ(stopped + TakeWavStopped(near), 1);
  const double length = double(spoken.size()) / 8000;
  EXPECT_NEAR(took, length, 0.25) << "the source plays in real time";

  const std::vector<int16_t> heard = VirtualAudio::OutputSamples(2);
  const auto [heardFirst, heardLast] = LoudSpan(FrameLevels(heard), 200);
  std::printf("speech: %zu frames spoken loud, %zu heard loud\n", spokenLast - spokenFirst,
              heardLast - heardFirst);
  // The same length, give or take a frame lost or delayed at either end.
  EXPECT_NEAR(double(heardLast - heardFirst), double(spokenLast - spokenFirst), 2);
  // And the same sound: A-law keeps it close, sample for sample, once the
  // transit delay is found. Playout may wait 10 ms or skip some when the
  // network's timing varies, so each 80 ms stretch finds its own delay; such
  // a step spoils at most the stretch it falls in.
  const size_t chunk = 4 * kFrameSamples;
  std::vector<double> scores;
  for (size_t from = 0; from + chunk <= (spokenLast - spokenFirst) * kFrameSamples; from += chunk) {
    const int16_t* source = spoken.data() + spokenFirst * kFrameSamples + from;
    if (Rms(source, chunk) < 200) continue;  // a pause between the words: nothing to compare
    double best = 0;
    for (long lag = -3 * kFrameSamples; lag <= 3 * kFrameSamples; ++lag) {
      const long at = long(heardFirst * kFrameSamples + from) + lag;
      if (at < 0 || size_t(at) + chunk > heard.size()) continue;
      double xy = 0, xx = 0, yy = 0;
      for (size_t i = 0; i < chunk; ++i) {
        const double x = source[i], y = heard[size_t(at) + i];
        xy += x * y, xx += x * x, yy += y * y;
      }
      best = std::max(best, xy / std::sqrt(xx * yy + 1));
    }
    scores.push_back(best);
  }
  std::sort(scores.begin(), scores.end());
  ASSERT_GE(scores.size(), 6u);
  std::printf("speech: correlation with what was spoken, 80 ms at a time: worst %.3f, second worst %.3f, median %.3f\n",
              scores[0], scores[1], scores[scores.size() / 2]);
  EXPECT_GT(scores[1], 0.95);
}

TEST_F(MediaFeatures, PlayWavFileReachesTheFarEndAndEndsWithOneNotification) {
  TScratchDir dir;
  // One second of 1500 Hz at 22050 Hz: the engine's source converts it to
  // exactly 50 call frames.
  const std::string file = dir.File("prompt.wav");
  WriteFile(file, MakeWav(22050, 16, SampleBytes(MakeTone(1500, 9000, 22050, 22050))));
  auto engine = Engine();
  auto near = Call(engine, 1, 0);
  auto far = Call(std::make_shared<TFakeEngine>(), 2, 0);
  Pair(*near, *far);
  VirtualAudio::SetInputTone(1, 400, 8000);  // the microphone before and after the file
  near->SetMediaActive(true);
  far->SetMediaActive(true);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 4000, 5000));

  const auto start = TClock::now();
  engine->PlayWavFile(near, file);
  int stopped = 0;
  ASSERT_TRUE(WaitFor([&] { return (stopped += TakeWavStopped(near)) > 0; }, 5s)) << "no WAV-stopped event";
  const double took = std::chrono::duration<double>(TClock::now() - start).count();
  EXPECT_NEAR(took, 1.0, 0.2);
  EXPECT_EQ(near->GetWavSource(), nullptr);
  std::this_thread::sleep_for(600ms);  // the microphone is back for a while
  EXPECT_EQ(stopped + TakeWavStopped(near), 1);

  // Frame by frame, which of the two tones the far end heard. Playout may
  // have shifted the frames by half a frame (it waits 10 ms at a time), so
  // the frames are read at the phase that splits none of them.
  const std::vector<int16_t> heard = VirtualAudio::OutputSamples(2);
  std::string pattern;  // 'm' microphone, 'f' file, '?' neither
  for (size_t phase : {size_t(0), size_t(kFrameSamples / 2)}) {
    std::string p;
    for (size_t at = phase; at + kFrameSamples <= heard.size(); at += kFrameSamples) {
      const double mic = ToneAmplitude(heard.data() + at, kFrameSamples, 400, 8000);
      const double wav = ToneAmplitude(heard.data() + at, kFrameSamples, 1500, 8000);
      p += wav > 4000 && mic < 2000 ? 'f' : mic > 4000 && wav < 2000 ? 'm' : '?';
    }
    if (std::count(p.begin(), p.end(), '?') < std::count(pattern.begin(), pattern.end(), '?') || pattern.empty())
      pattern = p;
  }
  const size_t first = pattern.find('f'), last = pattern.rfind('f');
  ASSERT_NE(first, std::string::npos) << pattern;
  // One run of the file's 50 frames, microphone on both sides of it.
  // Playout may have dropped up to 80 ms of it to bring a delay back.
  const std::string run = pattern.substr(first, last - first + 1);
  EXPECT_EQ(run.find('m'), std::string::npos) << pattern;
  EXPECT_GE(std::count(run.begin(), run.end(), 'f'), 46) << pattern;
  EXPECT_LE(run.size(), 51u) << pattern;
  // Microphone on both sides; playout may blur the frame at a joint (a
  // 10 ms wait or skip that falls there).
  ASSERT_GE(first, 4u) << pattern;
  EXPECT_GE(std::count(pattern.begin() + long(first) - 4, pattern.begin() + long(first), 'm'), 3) << pattern;
  EXPECT_GE(std::count(pattern.begin() + long(last) + 1, pattern.begin() + long(std::min(last + 11, pattern.size())), 'm'),
            9)
      << pattern;
}

TEST_F(MediaFeatures, PlayWavFileWithNothingToPlay) {
  TScratchDir dir;
  auto engine = Engine();
  auto near = Call(engine, 1, 0);
  auto far = Call(std::make_shared<TFakeEngine>(), 2, 0);
  Pair(*near, *far);
  VirtualAudio::SetInputTone(1, 400, 8000);
  near->SetMediaActive(true);
  far->SetMediaActive(true);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 1600, 5000));

  // A file that is not there: the caller hears of it, the call plays on.
  EXPECT_THROW(engine->PlayWavFile(near, dir.File("missing.wav")), Exception);
  EXPECT_EQ(near->GetWavSource(), nullptr);
  // A RIFF file without samples: an empty source, taken off at the next
  // frame with one WAV-stopped event.
  const std::string empty = dir.File("empty.wav");
  WriteFile(empty, std::string("RIFF\x04\x00\x00\x00WAVE", 12));
  const auto start = TClock::now();
  engine->PlayWavFile(near, empty);
  int stopped = 0;
  ASSERT_TRUE(WaitFor([&] { return (stopped += TakeWavStopped(near)) > 0; }, 2s));
  EXPECT_LT(std::chrono::duration<double>(TClock::now() - start).count(), 0.2);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(stopped + TakeWavStopped(near), 1);
  VirtualAudio::ClearOutput(2);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 1600, 2000));
  const std::vector<int16_t> heard = VirtualAudio::OutputSamples(2);
  EXPECT_GT(ToneAmplitude(heard.data(), heard.size(), 400, 8000), 6000) << "the microphone went on";
}

}  // namespace
}  // namespace qv::test
