// The virtual sound devices, through the same interface the media threads use.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <numbers>
#include <thread>

#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "platform/audiodevice.h"
#include "platform/messagequeue.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

// Buffers as the media threads keep them: headers pointing into owned storage.
struct TBuffers {
  TBuffers(size_t count, uint32_t bytes) : headers(count), storage(count, std::vector<int16_t>(bytes / 2)) {
    for (size_t i = 0; i < count; ++i) {
      headers[i].Data = reinterpret_cast<char*>(storage[i].data());
      headers[i].BufferLength = bytes;
      headers[i].User = i;
    }
  }
  std::vector<TWaveHeader> headers;
  std::vector<std::vector<int16_t>> storage;
};

// Takes the next message, waiting up to `ms`.
bool Next(TMessageQueue& q, TMessage& m, int ms = 2000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!q.Get(m)) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    q.Wait(left);
  }
  return true;
}

TWaveHeader* HeaderOf(const TMessage& m) { return reinterpret_cast<TWaveHeader*>(m.LParam); }

// Records `count` buffers of `bytes` from input `device` (4 rotating buffers,
// as the capture thread does) and returns the samples.
std::vector<int16_t> Capture(int device, size_t count, uint32_t bytes = 320, const TWaveFormat& f = kCallFormat) {
  TMessageQueue q;
  TBuffers b(4, bytes);  // buffers outlive the device that may still hold them
  IWaveDevicePtr dev = WaveInOpen(device, f, &q);
  for (auto& h : b.headers) dev->AddBuffer(&h);
  dev->Start();
  std::vector<int16_t> out;
  TMessage m;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(Next(q, m));
    TWaveHeader* h = HeaderOf(m);
    EXPECT_EQ(h->BytesRecorded, bytes);
    auto* p = reinterpret_cast<int16_t*>(h->Data);
    out.insert(out.end(), p, p + h->BytesRecorded / 2);
    dev->AddBuffer(h);
  }
  dev->Close();
  return out;
}

double Goertzel(const std::vector<int16_t>& s, double hz, double rate) {
  double k = 2 * std::cos(2 * std::numbers::pi * hz / rate), s1 = 0, s2 = 0;
  for (int16_t v : s) {
    double s0 = v + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return std::sqrt(s1 * s1 + s2 * s2 - k * s1 * s2) / double(s.size());
}

class VirtualAudioTest : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    VirtualAudio::ResetAll();
  }
  void TearDown() override { VirtualAudio::ResetAll(); }
  std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("qv_audio_" + std::to_string(getpid()) + "_" + name)).string();
  }
};

TEST_F(VirtualAudioTest, CaptureIsPacedAtTheBufferDurationAndKeepsQueueOrder) {
  TMessageQueue q;
  TBuffers b(4, 320);
  IWaveDevicePtr dev = WaveInOpen(1, kCallFormat, &q);
  for (auto& h : b.headers) dev->AddBuffer(&h);
  auto start = Clock::now();
  dev->Start();
  TMessage m;
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(Next(q, m));
    EXPECT_EQ(m.Msg, uint32_t(MsgWaveInData));
    EXPECT_EQ(m.WParam, reinterpret_cast<uintptr_t>(dev.get()));
    TWaveHeader* h = HeaderOf(m);
    EXPECT_EQ(h->User, uintptr_t(i % 4)) << "buffers come back in the order they were queued";
    EXPECT_TRUE(h->Done);
    EXPECT_EQ(h->BytesRecorded, 320u);
    dev->AddBuffer(h);
  }
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  // 50 x 20 ms; loose bounds, this checks pacing, not speed.
  EXPECT_GT(secs, 0.95);
  EXPECT_LT(secs, 1.6);
}

TEST_F(VirtualAudioTest, SourcesToneSilenceAndDefaultDevice) {
  VirtualAudio::SetInputTone(0, 1000, 8000);
  std::vector<int16_t> s = Capture(-1, 25);  // -1 reads device 0's source
  ASSERT_EQ(s.size(), 25u * 160);
  int crossings = 0;
  for (size_t i = 1; i < s.size(); ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
  EXPECT_NEAR(crossings, 1000, 4);  // 0.5 s of 1000 Hz
  EXPECT_NEAR(*std::max_element(s.begin(), s.end()), 8000, 10);
  EXPECT_GT(Goertzel(s, 1000, 8000), 50 * Goertzel(s, 1200, 8000));

  std::vector<int16_t> quiet = Capture(2, 5);
  EXPECT_TRUE(std::all_of(quiet.begin(), quiet.end(), [](int16_t v) { return v == 0; }));

  VirtualAudio::SetInputSource(2, "tone:440:1000");
  std::vector<int16_t> a = Capture(2, 10);
  EXPECT_NEAR(*std::max_element(a.begin(), a.end()), 1000, 2);
  EXPECT_GT(Goertzel(a, 440, 8000), 20 * Goertzel(a, 600, 8000));
  EXPECT_THROW(VirtualAudio::SetInputSource(2, "tone:abc"), Exception);
  EXPECT_THROW(VirtualAudio::SetInputSource(2, "tone:440:99999"), Exception);
}

TEST_F(VirtualAudioTest, WavFileSourceIsConvertedToTheDeviceRate) {
  // A 16 kHz ramp: captured at 8 kHz every second sample comes through exactly.
  std::vector<int16_t> ramp(1000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int16_t(i * 10);
  std::string path = TempPath("src.wav");
  {
    TWavWriter w;
    w.Open(path, TWaveFormat{16000, 1, 16});
    w.Write(ramp.data(), ramp.size());
  }
  VirtualAudio::SetInputFile(3, path, /*loop=*/false);
  std::vector<int16_t> s = Capture(3, 4);
  for (size_t i = 0; i < 500; ++i) ASSERT_EQ(s[i], ramp[2 * i]) << i;
  for (size_t i = 500; i < s.size(); ++i) ASSERT_EQ(s[i], 0) << "silence after the end of a file that does not loop";

  VirtualAudio::SetInputSource(3, path);  // looping, as from QUORVELLE_AUDIO_IN
  s = Capture(3, 4);
  EXPECT_EQ(s[500], ramp[0]);
  EXPECT_EQ(s[501], ramp[2]);
  std::filesystem::remove(path);
  EXPECT_THROW(VirtualAudio::SetInputFile(3, path), Exception);
}

TEST_F(VirtualAudioTest, PlaybackKeepsExactlyWhatWasQueuedInOrder) {
  TMessageQueue q;
  TBuffers b(6, 320);
  IWaveDevicePtr dev = WaveOutOpen(3, kCallFormat, &q);
  std::vector<int16_t> expected;
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 160; ++j) b.storage[i][j] = int16_t(i * 1000 + j);
    expected.insert(expected.end(), b.storage[i].begin(), b.storage[i].end());
  }
  auto start = Clock::now();
  for (auto& h : b.headers) dev->AddBuffer(&h);
  TMessage m;
  for (uintptr_t i = 0; i < 6; ++i) {
    ASSERT_TRUE(Next(q, m));
    EXPECT_EQ(m.Msg, uint32_t(MsgWaveOutDone));
    EXPECT_EQ(HeaderOf(m)->User, i);
    EXPECT_TRUE(HeaderOf(m)->Done);
  }
  EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(110)) << "played in real time: 6 x 20 ms";
  EXPECT_EQ(VirtualAudio::OutputSamples(3), expected);
  EXPECT_EQ(VirtualAudio::OutputSampleCount(3), 960u);
  EXPECT_EQ(VirtualAudio::OutputSamples(4).size(), 0u) << "other devices hear nothing";
  dev->Close();
}

// Each buffer comes back with when it began to play or was captured, on the
// device's sample clock: back to back exactly a buffer apart, later after the
// output ran dry, and none for a buffer that never played.
TEST_F(VirtualAudioTest, BuffersCarryTheTimeTheyPlayedOrWereCaptured) {
  auto ns = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  };
  TMessageQueue q;
  TBuffers b(3, 160), c(4, 320);  // 10 ms slices, 20 ms capture buffers
  IWaveDevicePtr out = WaveOutOpen(2, kCallFormat, &q);
  const int64_t handed = ns(Clock::now());
  for (int i = 0; i < 2; ++i) out->AddBuffer(&b.headers[size_t(i)]);
  TMessage m;
  ASSERT_TRUE(Next(q, m));
  ASSERT_TRUE(Next(q, m));
  EXPECT_GE(b.headers[0].TimeNs, handed);
  EXPECT_NEAR(double(b.headers[1].TimeNs - b.headers[0].TimeNs), 10e6, 1e3);
  std::this_thread::sleep_for(std::chrono::milliseconds(25));  // the speaker runs dry
  const int64_t late = ns(Clock::now());
  for (size_t i : {2, 0, 1}) out->AddBuffer(&b.headers[i]);
  ASSERT_TRUE(Next(q, m));
  out->Reset();  // while the second of them plays
  EXPECT_GE(b.headers[2].TimeNs, late);
  EXPECT_EQ(b.headers[1].TimeNs, 0) << "reset before it played";
  while (q.Get(m)) {
  }

  IWaveDevicePtr in = WaveInOpen(2, kCallFormat, &q);
  for (auto& h : c.headers) in->AddBuffer(&h);
  const int64_t started = ns(Clock::now());
  in->Start();
  int64_t last = 0;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(Next(q, m));
    TWaveHeader* h = HeaderOf(m);
    if (i == 0) EXPECT_GE(h->TimeNs, started);
    if (i > 0) EXPECT_NEAR(double(h->TimeNs - last), 20e6, 1e3);
    EXPECT_LE(h->TimeNs, ns(Clock::now()) - 20000000) << "full before it comes back";
    last = h->TimeNs;
    in->AddBuffer(h);
  }
  in->Close();
}

TEST_F(VirtualAudioTest, ResetGivesBackEveryBufferAndStopsAtOnce) {
  TMessageQueue q;
  TBuffers b(5, 44100), c(4, 3200);                       // 1 s and 200 ms
  IWaveDevicePtr out = WaveOutOpen(-1, kRingFormat, &q);  // the ring thread's format
  for (auto& h : b.headers) out->AddBuffer(&h);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto start = Clock::now();
  out->Reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(q.Size(), 5u) << "every buffer is back when Reset returns";
  TMessage m;
  for (uintptr_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(q.Get(m));
    EXPECT_EQ(HeaderOf(m)->User, i);
    EXPECT_TRUE(HeaderOf(m)->Done);
    EXPECT_FALSE(HeaderOf(m)->InQueue);
  }
  // Only the part already played reached the sink: less than one buffer.
  EXPECT_GT(VirtualAudio::OutputSampleCount(0), 0u);
  EXPECT_LT(VirtualAudio::OutputSampleCount(0), 22050u);
  EXPECT_EQ(VirtualAudio::OutputFormat(0), kRingFormat);
  // Still usable after a reset.
  out->AddBuffer(&b.headers[0]);
  ASSERT_TRUE(Next(q, m));
  EXPECT_EQ(HeaderOf(m), &b.headers[0]);

  IWaveDevicePtr in = WaveInOpen(0, kCallFormat, &q);
  for (auto& h : c.headers) in->AddBuffer(&h);
  in->Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  in->Reset();
  ASSERT_EQ(q.Size(), 4u);
  for (uintptr_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(q.Get(m));
    EXPECT_EQ(HeaderOf(m)->User, i);
    if (i == 0)
      EXPECT_LT(HeaderOf(m)->BytesRecorded, 3200u) << "the buffer being filled comes back partly filled";
    else
      EXPECT_EQ(HeaderOf(m)->BytesRecorded, 0u);
  }
  EXPECT_FALSE(q.Get(m)) << "reset stops recording";
}

TEST_F(VirtualAudioTest, StopReturnsThePartialBufferAndKeepsTheRest) {
  TMessageQueue q;
  TBuffers b(2, 32000);  // 2 s each
  IWaveDevicePtr in = WaveInOpen(5, kCallFormat, &q);
  for (auto& h : b.headers) in->AddBuffer(&h);
  in->Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  in->Stop();
  TMessage m;
  ASSERT_TRUE(q.Get(m));
  EXPECT_EQ(HeaderOf(m), &b.headers[0]);
  EXPECT_GT(HeaderOf(m)->BytesRecorded, 800u);
  EXPECT_LT(HeaderOf(m)->BytesRecorded, 16000u);
  EXPECT_EQ(HeaderOf(m)->BytesRecorded % 2, 0u);
  EXPECT_FALSE(q.Get(m));
  EXPECT_TRUE(b.headers[1].InQueue);
  in->Close();  // gives back the one still queued
  ASSERT_TRUE(q.Get(m));
  EXPECT_EQ(HeaderOf(m), &b.headers[1]);
}

TEST_F(VirtualAudioTest, OpenErrorsCarryTheOriginalTexts) {
  TMessageQueue q;
  auto codeOf = [&](auto&& open) {
    try {
      open();
    } catch (const TWaveException& e) {
      EXPECT_STREQ(e.what(), WaveErrorText(e.Code()));
      return e.Code();
    }
    return 0;
  };
  EXPECT_EQ(codeOf([&] { WaveInOpen(8, kCallFormat, &q); }), WaveErrBadDeviceId);
  EXPECT_EQ(codeOf([&] { WaveOutOpen(-2, kCallFormat, &q); }), WaveErrBadDeviceId);
  EXPECT_STREQ(WaveErrorText(WaveErrBadDeviceId), "Specified device identifier is out of range.");
  EXPECT_EQ(codeOf([&] { WaveInOpen(0, TWaveFormat{8000, 1, 8}, &q); }), WaveErrBadFormat);
  EXPECT_STREQ(WaveErrorText(WaveErrBadFormat), "Attempted to open with an unsupported waveform-audio format.");

  // An output busy in one format cannot be opened in another.
  IWaveDevicePtr call = WaveOutOpen(1, kCallFormat, &q);
  EXPECT_EQ(codeOf([&] { WaveOutOpen(1, kRingFormat, &q); }), WaveErrAllocated);
  EXPECT_STREQ(WaveErrorText(WaveErrAllocated), "Specified resource is already allocated.");
  call.reset();
  EXPECT_NO_THROW(WaveOutOpen(1, kRingFormat, &q));

  VirtualAudio::SetOpenError(true, 0, WaveErrNoDriver);
  EXPECT_EQ(codeOf([&] { WaveInOpen(-1, kCallFormat, &q); }), WaveErrNoDriver);
  EXPECT_STREQ(WaveErrorText(WaveErrNoDriver), "No device driver is present.");
  VirtualAudio::SetOpenError(false, 2, WaveErrNoMem);
  EXPECT_EQ(codeOf([&] { WaveOutOpen(2, kCallFormat, &q); }), WaveErrNoMem);
  EXPECT_STREQ(WaveErrorText(WaveErrNoMem), "Unable to allocate or lock memory.");
  EXPECT_NO_THROW(WaveOutOpen(3, kCallFormat, &q));
}

TEST_F(VirtualAudioTest, EnumerationAndLookupByName) {
  std::vector<std::string> ins = WaveInDeviceNames(), outs = WaveOutDeviceNames();
  ASSERT_EQ(ins.size(), size_t(kVirtualDeviceCount));
  ASSERT_EQ(outs.size(), size_t(kVirtualDeviceCount));
  EXPECT_EQ(ins[0], "Virtual In 0");
  EXPECT_EQ(outs[7], "Virtual Out 7");
  EXPECT_EQ(WaveDeviceByName(false, "Virtual Out 3"), 3);
  EXPECT_EQ(WaveDeviceByName(true, "Virtual Out 3"), -1) << "names are looked up among devices of one kind";
  EXPECT_EQ(WaveDeviceByName(true, "virtual in 1"), -1) << "case-sensitive";
  EXPECT_EQ(WaveDeviceByName(true, "Default"), -1);
}

TEST_F(VirtualAudioTest, WavOutputFileIsValidAfterClose) {
  std::string path = TempPath("out.wav");
  VirtualAudio::SetOutputFile(4, path);
  TMessageQueue q;
  TBuffers b(3, 320);
  IWaveDevicePtr dev = WaveOutOpen(4, kCallFormat, &q);
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 160; ++j) b.storage[i][j] = int16_t(j - 80 * i);
  for (auto& h : b.headers) dev->AddBuffer(&h);
  TMessage m;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Next(q, m));
  dev->Close();
  VirtualAudio::SetOutputFile(4, "");
  EXPECT_EQ(std::filesystem::file_size(path), 44u + 960u);
  TMonoPcm pcm = ReadWavAsMono16(path);
  EXPECT_EQ(pcm.SampleRate, 8000u);
  ASSERT_EQ(pcm.Samples.size(), 480u);
  EXPECT_EQ(pcm.Samples[160], int16_t(-80));
  EXPECT_EQ(pcm.Samples[479], int16_t(159 - 160));
  std::filesystem::remove(path);
}

TEST_F(VirtualAudioTest, TwoCallsKeepTheirOwnSourcesAndSinks) {
  VirtualAudio::SetInputTone(5, 500);
  VirtualAudio::SetInputTone(6, 1500);
  // Each "call" loops its capture into its own output, at the same time.
  auto loop = [](int device, std::vector<int16_t>* captured) {
    TMessageQueue q;
    TBuffers rec(4, 320), play(20, 320);  // outlive the devices
    IWaveDevicePtr in = WaveInOpen(device, kCallFormat, &q);
    IWaveDevicePtr out = WaveOutOpen(device, kCallFormat, &q);
    for (auto& h : rec.headers) in->AddBuffer(&h);
    in->Start();
    TMessage m;
    size_t played = 0, back = 0;
    while (back < 20) {
      if (!Next(q, m)) break;
      TWaveHeader* h = HeaderOf(m);
      if (m.Msg == MsgWaveOutDone) {
        ++back;
        continue;
      }
      if (played < 20) {
        std::memcpy(play.headers[played].Data, h->Data, 320);
        out->AddBuffer(&play.headers[played++]);
        auto* p = reinterpret_cast<int16_t*>(h->Data);
        captured->insert(captured->end(), p, p + 160);
      }
      in->AddBuffer(h);
    }
  };
  std::vector<int16_t> cap5, cap6;
  std::thread t5(loop, 5, &cap5), t6(loop, 6, &cap6);
  t5.join();
  t6.join();
  std::vector<int16_t> out5 = VirtualAudio::OutputSamples(5), out6 = VirtualAudio::OutputSamples(6);
  EXPECT_EQ(out5, cap5);
  EXPECT_EQ(out6, cap6);
  EXPECT_GT(Goertzel(out5, 500, 8000), 20 * Goertzel(out5, 1500, 8000));
  EXPECT_GT(Goertzel(out6, 1500, 8000), 20 * Goertzel(out6, 500, 8000));
}

TEST_F(VirtualAudioTest, TwoPlayersOnOneOutputAreMixed) {
  TMessageQueue qa, qb;
  TBuffers ba(10, 320), bb(10, 320);
  IWaveDevicePtr a = WaveOutOpen(7, kCallFormat, &qa), b = WaveOutOpen(7, kCallFormat, &qb);
  for (auto& v : ba.storage) std::fill(v.begin(), v.end(), int16_t(100));
  for (auto& v : bb.storage) std::fill(v.begin(), v.end(), int16_t(200));
  for (size_t i = 0; i < 10; ++i) {
    a->AddBuffer(&ba.headers[i]);
    b->AddBuffer(&bb.headers[i]);
  }
  TMessage m;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Next(qa, m) && Next(qb, m));
  a->Close();
  b->Close();
  std::vector<int16_t> s = VirtualAudio::OutputSamples(7);
  ASSERT_GE(s.size(), 1600u);
  // Started together, the two overlap (to within a buffer or two on a busy machine).
  ASSERT_LE(s.size(), 1600u + 320u) << "the two streams are mixed, not appended";
  EXPECT_GE(std::count(s.begin(), s.end(), int16_t(300)), 1280);
}

TEST_F(VirtualAudioTest, MisuseIsRefusedAndCloseRacesAreSafe) {
  TMessageQueue q;
  TBuffers b(1, 320);
  IWaveDevicePtr dev = WaveOutOpen(2, kCallFormat, &q);
  dev->AddBuffer(&b.headers[0]);
  EXPECT_THROW(dev->AddBuffer(&b.headers[0]), Exception) << "still queued";
  TWaveHeader odd;
  std::vector<char> data(321);
  odd.Data = data.data();
  odd.BufferLength = 321;
  EXPECT_THROW(dev->AddBuffer(&odd), Exception) << "not a whole number of samples";
  dev->Close();
  EXPECT_THROW(dev->AddBuffer(&b.headers[0]), Exception);
  dev->Close();  // idempotent

  // Close and destruction while buffers complete on the backend thread.
  for (int round = 0; round < 30; ++round) {
    TMessageQueue rq;
    TBuffers rb(4, 16);  // 1 ms each
    IWaveDevicePtr in = WaveInOpen(round % 8, kCallFormat, &rq);
    IWaveDevicePtr out = WaveOutOpen(round % 8, kCallFormat, &rq);
    in->AddBuffer(&rb.headers[0]);
    in->AddBuffer(&rb.headers[1]);
    out->AddBuffer(&rb.headers[2]);
    out->AddBuffer(&rb.headers[3]);
    in->Start();
    std::this_thread::sleep_for(std::chrono::microseconds(round * 100));
    if (round % 2) in->Close();
    in.reset();
    out.reset();
    EXPECT_EQ(rq.Size(), 4u);
    for (auto& h : rb.headers) EXPECT_FALSE(h.InQueue);
  }
}

}  // namespace
}  // namespace qv
