// Two calls talking to each other over 127.0.0.1 on virtual sound devices:
// each has its own "microphone" (a tone, silence or a WAV source) and its own
// "speaker", whose samples the tests read back. Real threads, real sockets,
// real time; the clock-paced devices keep it at 50 frames a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
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

struct TSide {
  std::shared_ptr<TFakeEngine> engine;
  std::shared_ptr<TCall> call;
  int device;  // its input and output device number

  std::string Notes() const {
    std::string text;
    for (const auto& note : engine->DtmfNotes()) text += note.Text;
    return text;
  }
};

class MediaCall : public ::testing::Test {
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

  TSide MakeSide(int device, int payloadType, std::shared_ptr<TFakeEngine> engine = nullptr) {
    TSide side{engine ? engine : std::make_shared<TFakeEngine>(), nullptr, device};
    side.call = MakeMediaCall(side.engine, device, payloadType);
    return side;
  }
  // A and B on devices 1 and 2, pointed at each other, media running.
  void Connect(int payloadType) {
    a = MakeSide(1, payloadType);
    b = MakeSide(2, payloadType);
    Pair(*a.call, *b.call);
    a.call->SetMediaActive(true);
    b.call->SetMediaActive(true);
  }

  TSide a, b;
};

class ToneBothWays : public MediaCall, public ::testing::WithParamInterface<int> {};

TEST_P(ToneBothWays, ArrivesAtTheOtherSide) {
  const int type = GetParam();
  ASSERT_TRUE(CreateCodec(type)) << "codec " << type << " missing";
  VirtualAudio::SetInputTone(1, 1000, 8000);
  VirtualAudio::SetInputTone(2, 1000, 8000);
  Connect(type);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(1, 12000, 10000));
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 12000, 10000));
  for (int device : {1, 2}) {
    TSineFit fit = MeasureSpeaker(device);
    std::printf("payload type %d, speaker %d: %.2f Hz, SNR %.1f dB\n", type, device, fit.Frequency, fit.SnrDb);
    EXPECT_NEAR(fit.Frequency, 1000.0, 2.0) << "speaker " << device;
    if (type == 0 || type == 8) {
      EXPECT_GE(fit.SnrDb, 30.0) << "speaker " << device;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, ToneBothWays, ::testing::Values(0, 8, 3, 110),
                         [](const auto& info) {
                           switch (info.param) {
                             case 0: return std::string("PCMU");
                             case 8: return std::string("PCMA");
                             case 3: return std::string("GSM");
                             default: return std::string("Speex");
                           }
                         });

TEST_F(MediaCall, Rfc2833DigitsArriveInOrder) {
  Connect(0);
  a.call->QueueDtmf("159#");
  // A digit is reported with its first packet and leaves the queue with its last.
  ASSERT_TRUE(WaitFor([&] { return a.call->GetDtmfQueue().empty(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(b.Notes(), "159#");
}

TEST_F(MediaCall, InBandToneFromTheResourcesIsDetected) {
  Connect(8);
  std::string_view tone = GetResource(9);
  std::istringstream bytes{std::string(tone)};
  a.call->SetWavSource(std::make_shared<TWavStream>(bytes));
  ASSERT_TRUE(WaitFor([&] { return !b.Notes().empty(); })) << "nothing detected";
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(b.Notes(), "9");
}

TEST_F(MediaCall, ReorderedPacketsPlayInOrder) {
  b = MakeSide(4, 0);
  TRtpPeer peer;
  b.call->SetRemoteRtpPort(peer.Port());
  b.call->SetMediaActive(true);
  auto code = [](int s) { return uint8_t(0x90 + s); };
  // Reordered after the first: packets the first one overtook would be late.
  std::vector<int> order = {1, 3, 2, 5, 4, 6, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  for (int s : order)
    peer.SendTo(b.call->GetLocalRtpPort(), RtpPacket(0, uint16_t(s), uint32_t(s * 160), std::vector<uint8_t>(160, code(s))));
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(4, 16 * 160, 5000));
  std::vector<int16_t> played = VirtualAudio::OutputSamples(4);
  auto decoder = CreateCodec(0);
  for (int s = 1; s <= 16; ++s) {
    uint8_t c = code(s);
    int16_t expected;
    decoder->Decode(&c, &expected, 1);
    ASSERT_EQ(played[size_t(s - 1) * 160], expected) << "frame " << s;
    ASSERT_EQ(played[size_t(s - 1) * 160 + 159], expected) << "frame " << s;
  }
}

TEST_F(MediaCall, HeadlessMachineFallsBackToVirtualDevices) {
  setenv("QUORVELLE_AUDIO", "auto", 1);
  SelectAudioBackend("");
  const std::string backend = AudioBackend()->Name();
  std::printf("QUORVELLE_AUDIO=auto chose %s\n", backend.c_str());
  if (backend == "virtual") VirtualAudio::SetInputTone(0, 1000, 8000);
  a = MakeSide(-1, 0);
  b = MakeSide(-1, 0);
  Pair(*a.call, *b.call);
  auto heard = std::make_shared<TFrameLog>();
  b.call->SetConference(heard);
  a.call->SetMediaActive(true);
  b.call->SetMediaActive(true);
  EXPECT_TRUE(WaitFor([&] { return heard->Remote().size() >= 25; })) << "no audio reached the other call";
  a.call->SetMediaActive(false);
  b.call->SetMediaActive(false);
  b.call->SetConference(nullptr);
  if (backend == "virtual") {
    auto frames = heard->Remote();
    EXPECT_GT(Rms(frames.back().data(), kFrameSamples), 3000.0) << "the tone came through";
  }
  unsetenv("QUORVELLE_AUDIO");
  SelectAudioBackend("virtual");
}

TEST_F(MediaCall, WithoutAMicrophoneTheCallStillSendsAndSaysWhy) {
  VirtualAudio::SetOpenError(true, 1, WaveErrNoDriver);
  VirtualAudio::SetOpenError(false, 1, WaveErrAllocated);
  a = MakeSide(1, 0);
  TRtpPeer peer;
  a.call->SetRemoteRtpPort(peer.Port());
  a.call->SetMediaActive(true);
  // Silence on the call's own clock: about fifty packets a second.
  std::vector<uint8_t> packet;
  ASSERT_TRUE(peer.Receive(packet, 2000)) << "no RTP without a microphone";
  const auto start = std::chrono::steady_clock::now();
  int count = 0;
  while (std::chrono::steady_clock::now() - start < 1s)
    if (peer.Receive(packet, 100)) ++count;
  EXPECT_GE(count, 40);
  EXPECT_LE(count, 60);
  // Digits still go out as telephone events.
  a.call->QueueDtmf("4");
  bool event = false;
  for (int i = 0; i < 100 && !event; ++i)
    event = peer.Receive(packet, 100) && packet.size() >= 16 && (packet[1] & 0x7F) == 101 && packet[12] == 4;
  EXPECT_TRUE(event);
  // Both devices are reported, each once, with the device's own words.
  ASSERT_TRUE(WaitFor([&] { return a.engine->DeviceNotes().size() >= 2; }));
  std::this_thread::sleep_for(100ms);
  auto notes = a.engine->DeviceNotes();
  ASSERT_EQ(notes.size(), 2u);
  std::sort(notes.begin(), notes.end(), [](const auto& x, const auto& y) { return x.Input > y.Input; });
  EXPECT_TRUE(notes[0].Input);
  EXPECT_EQ(notes[0].Reason, "No device driver is present.");
  EXPECT_FALSE(notes[1].Input);
  EXPECT_EQ(notes[1].Reason, "Specified resource is already allocated.");
}

TEST_F(MediaCall, AThirdPartySendingToTheCallsPortIsNotHeard) {
  VirtualAudio::SetInputSilence(1);
  Connect(0);
  auto recorder = std::make_shared<TSipRecorder>();
  b.call->SetRecorder(recorder);
  ASSERT_TRUE(VirtualAudio::WaitOutputSamples(2, 4000, 5000));
  // A stranger who found B's port: a loud tone, a second's worth, and digits.
  TRtpPeer stranger;
  auto encoder = CreateCodec(0);
  const std::vector<int16_t> tone = MakeTone(1000, 16000, 8000, 8000);
  for (int f = 0; f < 50; ++f) {
    std::vector<uint8_t> payload(160);
    encoder->Encode(tone.data() + f * 160, payload.data());
    stranger.SendTo(b.call->GetLocalRtpPort(), RtpPacket(0, uint16_t(f), uint32_t(f * 160), payload));
    stranger.SendTo(b.call->GetLocalRtpPort(), RtpPacket(101, uint16_t(1000 + f), 0, EventPayload(f % 10, false, 160)));
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(200ms);
  const std::vector<int16_t> heard = VirtualAudio::OutputSamples(2);
  ASSERT_GE(heard.size(), 8000u);
  b.call->SetRecorder(nullptr);
  const std::string& track = recorder->Track();
  ASSERT_GT(track.size(), 16000u);
  const std::vector<int16_t> recorded = BytesSamples(std::string_view(track).substr(track.size() - 16000));
  EXPECT_LT(ToneAmplitude(recorded.data(), recorded.size(), 1000, 8000), 100.0) << "the stranger's tone was recorded";
  EXPECT_LT(ToneAmplitude(heard.data() + heard.size() - 8000, 8000, 1000, 8000), 100.0);
  EXPECT_EQ(b.Notes(), "");
  const TRtpStats stats = b.call->GetRtpStats();
  EXPECT_EQ(stats.ForeignSource, 100u);
  EXPECT_EQ(stats.Source, "127.0.0.1:" + std::to_string(a.call->GetLocalRtpPort()));
}

// An engine that holds the playback thread inside NotifyDtmf until the test
// has let go of the call, so that the thread's own reference is the last one.
class TStallingEngine final : public TFakeEngine {
public:
  void NotifyDtmf(const ISipCallPtr& call, const std::string& text) override {
    TFakeEngine::NotifyDtmf(call, text);
    if (stalled.exchange(true)) return;
    entered.set_value();
    released.get_future().wait();
  }
  void NotifyWavStopped(const ISipCallPtr&) override {
    if (stalled.exchange(true)) return;
    entered.set_value();
    released.get_future().wait();
  }
  std::atomic<bool> stalled{false};
  std::promise<void> entered, released;
};

TEST_F(MediaCall, CallDestroyedOnItsOwnPlaybackThread) {
  auto engine = std::make_shared<TStallingEngine>();
  a = MakeSide(1, 0);
  b = MakeSide(2, 0, engine);
  Pair(*a.call, *b.call);
  a.call->SetMediaActive(true);
  b.call->SetMediaActive(true);
  a.call->QueueDtmf("7");
  ASSERT_EQ(engine->entered.get_future().wait_for(5s), std::future_status::ready);
  std::weak_ptr<TCall> gone = b.call;
  b.call.reset();
  engine->released.set_value();
  EXPECT_TRUE(WaitFor([&] { return gone.expired(); }, 5000ms));
  std::this_thread::sleep_for(50ms);  // the detached thread winds down
}

TEST_F(MediaCall, CallDestroyedOnItsOwnCaptureThread) {
  auto engine = std::make_shared<TStallingEngine>();
  a = MakeSide(1, 0, engine);
  a.call->SetRemoteRtpPort(FreeUdpPort());
  std::istringstream bytes(std::string(640, '\0'));
  a.call->SetWavSource(std::make_shared<TWavStream>(bytes));
  a.call->SetMediaActive(true);
  ASSERT_EQ(engine->entered.get_future().wait_for(5s), std::future_status::ready);
  std::weak_ptr<TCall> gone = a.call;
  a.call.reset();
  engine->released.set_value();
  EXPECT_TRUE(WaitFor([&] { return gone.expired(); }, 5000ms));
  std::this_thread::sleep_for(50ms);
}

// What the engine and the user do to calls in conference, recording, playing
// a file, with digits queued, while the application saves the recording: hang
// up under the call lock, hold, drop, let go of the last reference, lose the
// engine. None of it may wait for ever.
TEST_F(MediaCall, EndingCallsInEveryWayNeverDeadlocks) {
  VirtualAudio::SetInputTone(1, 700, 8000);
  VirtualAudio::SetInputTone(2, 1300, 8000);
  const std::string prompt(16000, '\x10');  // half a second
  for (int round = 0; round < 36; ++round) {
    SCOPED_TRACE(round);
    Connect(round % 2 ? 8 : 0);
    auto conference = std::make_shared<TSipConference>();
    auto recorder = std::make_shared<TSipRecorder>();
    for (TSide* s : {&a, &b}) {
      s->call->SetConference(conference);
      s->call->SetRecorder(recorder);
      s->call->QueueDtmf("123");
    }
    std::istringstream bytes(prompt);
    b.call->SetWavSource(std::make_shared<TWavStream>(bytes));
    std::atomic<bool> ending{true};
    std::thread saver([&] {
      while (ending) {
        std::ostringstream out;
        recorder->SaveToStream(out);
        std::this_thread::sleep_for(7ms);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + 10 * (round % 5)));
    switch (round % 6) {
      case 0:  // hang-up: the engine stops media holding the call lock
        for (TSide* s : {&a, &b}) {
          s->call->Lock();
          s->call->SetMediaActive(false);
          s->call->Unlock();
        }
        break;
      case 1:  // hold, then drop
        a.call->SetOnHold(true);
        std::this_thread::sleep_for(20ms);
        a.call->Lock();
        a.call->SetMediaActive(false);
        a.call->SetMediaActive(true);  // re-INVITE answer restarts the media
        a.call->Unlock();
        break;
      case 2:  // destroyed with media running
        a.call.reset();
        b.call.reset();
        break;
      case 3:  // the engine goes first
        a.engine.reset();
        b.engine.reset();
        std::this_thread::sleep_for(60ms);
        break;
      case 4: {  // stopped from two threads at once
        std::thread other([call = a.call] { call->SetMediaActive(false); });
        a.call->SetMediaActive(false);
        b.call->SetConference(nullptr);
        other.join();
        break;
      }
      default:  // leave the conference and recorder while the media run
        a.call->SetConference(nullptr);
        b.call->SetRecorder(nullptr);
        b.call->SetWavSource(nullptr);
        recorder->Clear();
        break;
    }
    for (TSide* s : {&a, &b}) {
      if (!s->call) continue;
      s->call->SetMediaActive(false);
      EXPECT_FALSE(s->call->GetMediaActive());
      EXPECT_EQ(s->call->GetRtpSocket(), -1);
      s->call.reset();
    }
    ending = false;
    saver.join();
  }
}

}  // namespace
}  // namespace qv::test
