// The wideband codecs on their own and in the receiving path: G.722 and Opus
// framing, what the peer's a=fmtp makes Opus send, and speech carried by
// Opus through 10 % random packet loss, restored from in-band FEC.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dialogs/call.h"
#include "media/codecg722.h"
#include "media/codecopus.h"
#include "media/codecs.h"
#include "media/resample.h"
#include "media/rtp.h"
#include "media/rtpreceive.h"
#include "support/audiosignals.h"
#include "support/codec_quality.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

constexpr int kWideFrame = 320;  // 20 ms at 16000 Hz

TEST(WidebandCodecs, FramingFollowsTheRtpClocks) {
  IAudioCodecPtr g722 = CreateCodec(kCodecG722);
  ASSERT_TRUE(g722);
  EXPECT_EQ(g722->GetSampleRate(), 16000);
  EXPECT_EQ(g722->GetClockRate(), 8000);  // RFC 3551 4.5.2
  EXPECT_EQ(g722->GetFrameSize(), 160);
  std::vector<int16_t> tone = MakeTone(6000, 8000, kWideFrame, 16000);
  uint8_t payload[kRtpPayloadRoom];
  EXPECT_EQ(g722->Encode(tone.data(), payload), 160);
  int16_t pcm[kMaxDecodedSamples];
  EXPECT_EQ(g722->Decode(payload, pcm, 160), 2 * kWideFrame);
  EXPECT_EQ(g722->Decode(payload, pcm, 0), 0);
  // A payload longer than the decode area is cut, never overrun.
  std::vector<uint8_t> huge(5000, 0x55);
  EXPECT_EQ(g722->Decode(huge.data(), pcm, int(huge.size())), 2 * kMaxDecodedSamples);

  IAudioCodecPtr opus = CreateCodec(kCodecOpus);
  ASSERT_TRUE(opus);
  EXPECT_EQ(opus->GetPayloadType(), 111);
  EXPECT_EQ(opus->GetSampleRate(), 16000);
  EXPECT_EQ(opus->GetClockRate(), 48000);  // RFC 7587 4.1
  EXPECT_EQ(opus->GetFrameSize(), 960);
  const int n = opus->Encode(tone.data(), payload);
  ASSERT_GT(n, 0);
  EXPECT_EQ(opus->Decode(payload, pcm, n), 2 * kWideFrame);
  // Garbage plays as 20 ms made up by the decoder, not as an error.
  uint8_t garbage[3] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(opus->Decode(garbage, pcm, 3), 2 * kWideFrame);
}

TEST(WidebandCodecs, OpusSendsWhatThePeersFormatAsks) {
  TOpusSettings s = ParseOpusFormat("maxplaybackrate=8000; useinbandfec=1;usedtx=1;maxaveragebitrate=20000;x=y;stereo");
  EXPECT_TRUE(s.Fec);
  EXPECT_TRUE(s.Dtx);
  EXPECT_EQ(s.MaxPlaybackRate, 8000);
  EXPECT_EQ(s.MaxAverageBitrate, 20000);
  TOpusSettings none = ParseOpusFormat("");
  EXPECT_FALSE(none.Fec);  // RFC 7587 6.1: both default to 0
  EXPECT_FALSE(none.Dtx);

  // With DTX asked for, silence stops costing packets (the encoder says so
  // after a few frames); without, every frame is sent.
  TCodecOpus dtx(s), plain(none);
  std::vector<int16_t> silence(kWideFrame, 0);
  uint8_t payload[kRtpPayloadRoom];
  int dtxSent = 0, plainSent = 0;
  for (int i = 0; i < 50; ++i) {
    dtxSent += dtx.Encode(silence.data(), payload) > 0;
    plainSent += plain.Encode(silence.data(), payload) > 0;
  }
  EXPECT_EQ(plainSent, 50);
  EXPECT_LT(dtxSent, 25);

  // A sender that codes nothing sends nothing, and marks the talkspurt after.
  TRtpSender sender(7);
  struct TCount : IRtpOutput {
    std::vector<std::vector<uint8_t>> sent;
    bool SendRtp(const uint8_t* b, int n) override {
      sent.emplace_back(b, b + n);
      return true;
    }
  } out;
  TDtmfQueue dtmf;
  TCodecOpus quiet(s);
  for (int i = 0; i < 50; ++i) {
    sender.Prepare(quiet, silence.data(), false);
    sender.SendPending(dtmf, out);
  }
  std::vector<int16_t> tone = MakeTone(1000, 8000, kWideFrame, 16000);
  sender.Prepare(quiet, tone.data(), false);
  sender.SendPending(dtmf, out);
  ASSERT_LT(out.sent.size(), 25u);
  EXPECT_EQ(out.sent.back()[1], 0x80 | 111) << "marker on the first packet after the silence";
  EXPECT_EQ(ReadBigEndian32(out.sent.back().data() + 4), 50u * 960);
}

// Level of one 20 ms frame, in dB.
double FrameDb(const int16_t* p) {
  double sum = 0;
  for (int i = 0; i < kWideFrame; ++i) sum += double(p[i]) * p[i];
  return 10 * std::log10(sum / kWideFrame + 1);
}

// Speech through Opus packets into the receiver, with `lossRate` of them
// dropped at random (seeded), played on a device clock; returns the share of
// speech frames that came out more than 10 dB below the same packets decoded
// without loss.
double BadFrameShare(const std::vector<int16_t>& speech, bool fec, double lossRate, uint64_t* recovered) {
  TOpusSettings settings;
  settings.Fec = fec;
  TCodecOpus encoder(settings);
  std::vector<std::vector<uint8_t>> packets;
  for (size_t at = 0; at + kWideFrame <= speech.size(); at += kWideFrame) {
    std::vector<uint8_t> payload(kRtpPayloadRoom);
    payload.resize(size_t(encoder.Encode(&speech[at], payload.data())));
    packets.push_back(std::move(payload));
  }
  // The loss-free decode.
  TCodecOpus clean;
  std::vector<int16_t> reference;
  for (const auto& p : packets) {
    int16_t pcm[kMaxDecodedSamples];
    const int n = clean.Decode(p.data(), pcm, int(p.size())) / 2;
    reference.insert(reference.end(), pcm, pcm + n);
  }
  // The lossy path: a packet every 20 ms, the device taking 10 ms at a time.
  auto engine = std::make_shared<TFakeEngine>();
  auto call = std::make_shared<TCall>(engine, "", nullptr);
  call->SetSilenceThreshold(0);
  TKeepingDevice device;
  TRtpReceiver receiver(CreateCodec(kCodecOpus), nullptr, 16000);
  receiver.SetDevice(&device);
  std::mt19937 random(20240517);
  std::uniform_real_distribution<double> draw(0, 1);
  for (size_t k = 0; k < packets.size(); ++k) {
    if (k == 0 || draw(random) >= lossRate) {
      std::vector<uint8_t> datagram = RtpPacket(111, uint16_t(k), uint32_t(k * 960), packets[k]);
      receiver.HandlePacket(datagram.data(), int(datagram.size()), *call);
    }
    for (int slice = 0; slice < 2 && !device.Queued.empty(); ++slice) {
      TWaveHeader* h = device.Queued.front();
      device.Queued.pop_front();
      h->InQueue = false;
      receiver.BufferDone(h, call.get());
    }
  }
  if (recovered) *recovered = receiver.RecoveredSamples();
  std::vector<int16_t> played;
  for (const auto& slice : device.Played) played.insert(played.end(), slice.begin(), slice.end());

  // Playout waits (10 ms of concealment) when a frame is not there in time
  // and skips 10 or 20 ms when it holds too much: the played audio runs
  // behind the reference by a lag that moves in 10 ms steps. The lag is
  // followed frame by frame, to the step around the last one whose waveform
  // fits best.
  constexpr int kStep = 160;
  auto error = [&](size_t at, int64_t lag) {
    const int64_t from = int64_t(at) + lag;
    if (from < 0 || size_t(from) + kWideFrame > played.size()) return 1e300;
    double sum = 0;
    for (int i = 0; i < kWideFrame; ++i) {
      const double e = double(played[size_t(from) + size_t(i)]) - reference[at + size_t(i)];
      sum += e * e;
    }
    return sum;
  };
  int speechFrames = 0, bad = 0;
  int64_t lag = 0;
  bool locked = false;
  for (size_t at = 2 * kWideFrame; at + kWideFrame <= reference.size(); at += kWideFrame) {
    const double want = FrameDb(&reference[at]);
    if (want < 50) continue;  // about -40 dBFS: a pause, not speech
    ++speechFrames;
    const int reach = locked ? 2 : 10;
    int64_t best = lag;
    for (int64_t l = lag - reach * kStep; l <= lag + reach * kStep; l += kStep)
      if (error(at, l) < error(at, best)) best = l;
    // Only a fit worth the name moves the lag: where audio was lost nothing
    // fits, and the lag stays where the audio around it put it.
    double energy = 0;
    for (int i = 0; i < kWideFrame; ++i) energy += double(reference[at + size_t(i)]) * reference[at + size_t(i)];
    if (error(at, best) < 0.5 * energy) {
      lag = best;
      locked = true;
    }
    const int64_t from = int64_t(at) + lag;
    const double level = from >= 0 && size_t(from) + kWideFrame <= played.size() ? FrameDb(&played[size_t(from)]) : 0;
    if (level < want - 10) ++bad;
  }
  return speechFrames ? double(bad) / speechFrames : 1;
}

TEST(WidebandCodecs, OpusFecKeepsSpeechThroughTenPercentLoss) {
  const std::vector<int16_t> narrow = SpanishSpeech();
  ASSERT_GT(narrow.size(), 8000u * 5) << "no Spanish voice installed";
  // Twice over, for some 25 s of speech at 16000 Hz.
  std::vector<int16_t> speech = ResamplePcm(narrow.data(), narrow.size(), 8000, 16000);
  speech.insert(speech.end(), speech.begin(), speech.end());
  uint64_t recovered = 0;
  const double withFec = BadFrameShare(speech, true, 0.10, &recovered);
  const double withoutFec = BadFrameShare(speech, false, 0.10, nullptr);
  const double lossFree = BadFrameShare(speech, true, 0.0, nullptr);
  std::printf("speech frames more than 10 dB below the loss-free decode: %.2f %% with FEC "
              "(%.1f s restored), %.2f %% without, %.2f %% without loss\n",
              100 * withFec, double(recovered) / 16000, 100 * withoutFec, 100 * lossFree);
  EXPECT_LT(withFec, 0.02);
  EXPECT_LT(withFec, withoutFec) << "the redundancy restores more than the decoder can make up";
  EXPECT_GT(recovered, 16000u);  // over a second of audio came back from FEC
  EXPECT_LT(lossFree, 0.002);
}

}  // namespace
}  // namespace qv::test
