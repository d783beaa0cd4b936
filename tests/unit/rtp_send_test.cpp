// The sending path: telephone events and hold through TRtpSender, and a call's
// SendAudioFrame into a real socket on 127.0.0.1 with the capture thread kept
// out of the way (its device refuses to open), so frames go in by hand.
#include <gtest/gtest.h>

#include <sstream>

#include "dialogs/call.h"
#include "media/callmedia.h"
#include "media/codecpcm.h"
#include "media/codecs.h"
#include "media/dtmf.h"
#include "media/soundinput.h"
#include "media/wavfiles.h"
#include "platform/audio_virtual.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"
#include "support/tone_analysis.h"

namespace qv::test {
namespace {

struct TPacketLog final : IRtpOutput {
  bool SendRtp(const uint8_t* bytes, int length) override {
    packets.emplace_back(bytes, bytes + length);
    return true;
  }
  std::vector<std::vector<uint8_t>> packets;
};

uint16_t Seq(const std::vector<uint8_t>& p) { return uint16_t(p[2] << 8 | p[3]); }
uint32_t Stamp(const std::vector<uint8_t>& p) { return ReadBigEndian32(p.data() + 4); }
int Duration(const std::vector<uint8_t>& p) { return p[14] << 8 | p[15]; }

class RtpSender : public ::testing::Test {
protected:
  // One captured frame: what the capture thread makes the call do.
  void Frame(bool onHold = false) {
    sender.SendPending(dtmf, out);
    sender.Prepare(*codec, frame, onHold);
  }

  TRtpSender sender{0x01020304};
  TDtmfQueue dtmf;
  TPacketLog out;
  IAudioCodecPtr codec = CreateCodec(0);
  int16_t frame[kFrameSamples] = {};
};

// RFC 4733 2.5.1: one timestamp for the whole event (where it started), the
// first packet marked, the duration growing by a frame each packet, and the
// end packet sent three times, a frame apart, each with its own sequence number.
TEST_F(RtpSender, DigitIsOneEventWithGrowingDurationAndThreeEndPackets) {
  Frame();  // audio of timestamp 0 pending
  dtmf.Append("5");
  for (int i = 0; i < 12; ++i) Frame();
  ASSERT_EQ(out.packets.size(), 12u) << "9 events, 2 repeats, 1 audio packet";
  for (int k = 0; k < 11; ++k) {
    const auto& p = out.packets[size_t(k)];
    SCOPED_TRACE(k);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(p[1], k == 0 ? 0x80 | 101 : 101) << "only the first packet is marked";
    EXPECT_EQ(p[12], 5);
    EXPECT_EQ(Seq(p), k) << "consecutive, repeats included";
    const int n = std::min(k, 8);  // the repeats copy the ninth
    EXPECT_EQ(Duration(p), (n + 1) * 160);
    EXPECT_EQ(p[13], n == 8 ? 0x8A : 0x0A);
    EXPECT_EQ(Stamp(p), 0u) << "the event keeps the timestamp of its start";
    EXPECT_EQ((std::vector<uint8_t>(p.begin() + 8, p.begin() + 12)), (std::vector<uint8_t>{4, 3, 2, 1}));
  }
  const auto& audio = out.packets[11];
  EXPECT_EQ(audio[1], 0);
  EXPECT_EQ(Seq(audio), 11);
  EXPECT_EQ(Stamp(audio), 11u * 160) << "the frames the event replaced still count";
  EXPECT_EQ(audio.size(), 12u + 160);
  EXPECT_EQ(dtmf.Get(), "");
}

TEST_F(RtpSender, EventsGoUnderThePeersNumberAndTheNextDigitStartsAnew) {
  Frame();
  dtmf.Append("*1");
  for (int i = 0; i < 22; ++i) {
    sender.SendPending(dtmf, out, 96);
    sender.Prepare(*codec, frame, false);
  }
  ASSERT_EQ(out.packets.size(), 22u);
  for (const auto& p : out.packets) EXPECT_EQ(p[1] & 0x7F, 96);
  EXPECT_EQ(out.packets[0][12], 10);
  EXPECT_EQ(out.packets[11][12], 1);
  EXPECT_EQ(out.packets[11][1], 0x80 | 96) << "a new event, marked";
  EXPECT_EQ(Stamp(out.packets[11]), 11u * 160);
  EXPECT_EQ(Seq(out.packets[21]), 21);
}

TEST_F(RtpSender, NonDigitIsDroppedAndItsFrameSentAsAudio) {
  dtmf.Append("x5");
  Frame();  // the first frame of a call only prepares
  EXPECT_TRUE(out.packets.empty());
  Frame();
  Frame();
  ASSERT_EQ(out.packets.size(), 2u);
  EXPECT_EQ(out.packets[0][1], 0);
  EXPECT_EQ(out.packets[1][1], 0x80 | 101) << "the first packet of the event, marked";
  EXPECT_EQ(dtmf.Get(), "5");
}

TEST_F(RtpSender, HoldSendsNothingKeepsDigitsAndLeavesAGap) {
  Frame();
  dtmf.Append("1");
  for (int i = 0; i < 5; ++i) Frame(true);
  ASSERT_EQ(out.packets.size(), 1u) << "only the packet prepared before the hold";
  EXPECT_EQ(out.packets[0][1], 0x80 | 101) << "a digit queued before the hold took that one";
  EXPECT_EQ(sender.SequenceNumber(), 6u);
  Frame();  // resumed: this frame prepares, the next one sends
  Frame();
  ASSERT_EQ(out.packets.size(), 2u);
  EXPECT_EQ(Seq(out.packets[1]), 6) << "counts the five held frames";
  EXPECT_EQ(Stamp(out.packets[1]), 0u) << "still the event that started before the hold";
  EXPECT_EQ(Duration(out.packets[1]), 320) << "the digit goes on where it stopped";
}

// What a=ptime asks for: G.711 cut to 10 or 30 ms, GSM frames side by side,
// and whatever the packet time, sequence numbers without gaps and timestamps
// that follow the audio, an event in the middle included.
TEST_F(RtpSender, PacketTimesCutTheAudioAndKeepTheNumbersInStep) {
  std::vector<int16_t> ramp(kFrameSamples);
  for (int ms : {10, 30, 60}) {
    SCOPED_TRACE(ms);
    TRtpSender cut(1);
    TPacketLog log;
    TDtmfQueue digits;
    for (int f = 0; f < 30; ++f) {
      if (f == 10) digits.Append("9");
      for (int i = 0; i < kFrameSamples; ++i) ramp[size_t(i)] = int16_t((f * kFrameSamples + i) * 4);
      cut.SendPending(digits, log);
      cut.Prepare(*codec, ramp.data(), false, 0, ms);
    }
    ASSERT_GT(log.packets.size(), 11u);
    uint32_t audio = 0;
    for (size_t k = 0; k < log.packets.size(); ++k) {
      const auto& p = log.packets[k];
      EXPECT_EQ(Seq(p), k) << "no gap, no repeat";
      if ((p[1] & 0x7F) != 0) continue;
      ++audio;
      EXPECT_EQ(p.size(), 12u + size_t(ms) * 8);
      // The first sample of each packet is the one its timestamp names.
      EXPECT_EQ(p[12], UlawEncode(int16_t(Stamp(p) * 4))) << "timestamp " << Stamp(p);
    }
    EXPECT_GT(audio, 2u);
  }
  // GSM: whole frames only; 30 ms gives 20.
  IAudioCodecPtr gsm = CreateCodec(3);
  for (auto [ms, bytes] : {std::pair{40, 66}, std::pair{30, 33}, std::pair{60, 99}}) {
    TRtpSender packer(1);
    TPacketLog log;
    for (int f = 0; f < 7; ++f) {
      packer.SendPending(dtmf, log);
      packer.Prepare(*gsm, frame, false, 3, ms);
    }
    ASSERT_FALSE(log.packets.empty());
    EXPECT_EQ(log.packets[0].size(), 12u + size_t(bytes)) << ms;
    EXPECT_EQ(Stamp(log.packets[1]), uint32_t(bytes / 33 * 160));
  }
}

// A WAV source whose disk went away.
class TBrokenWav final : public IWavFile {
public:
  int64_t GetPosition() override { return 0; }
  int64_t GetSize() override { return 1 << 20; }
  void SetPosition(int64_t) override {}
  int Read(void*, int) override { throw Exception("read failed"); }
};

class TWavEngine final : public TFakeEngine {
public:
  void NotifyWavStopped(const ISipCallPtr&) override { ++wavStopped; }
  std::atomic<int> wavStopped{0};
};

constexpr int kCaptureDevice = 7;  // no capture thread: frames go in by hand
constexpr int kPlaybackDevice = 7;

class CallSending : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    call->Media().SetCaptureByHand(true);
    call->SetCodec(CreateCodec(0));
    call->SetLocalRtpPort(FreeUdpPort());
    call->SetRemoteRtpAddress("127.0.0.1");
    call->SetRemoteRtpPort(peer.Port());
    call->SetInputDevice(kCaptureDevice);
    call->SetOutputDevice(kPlaybackDevice);
  }
  void TearDown() override {
    call->SetMediaActive(false);
    VirtualAudio::ResetAll();
  }
  void Start() {
    call->SetMediaActive(true);
    ASSERT_TRUE(call->GetMediaActive());
  }
  void Send(std::vector<int16_t> samples) { call->SendAudioFrame(samples.data()); }
  std::vector<int16_t> Tone() { return MakeTone(1000, 8000, kFrameSamples, 8000); }
  static std::vector<uint8_t> Pcmu(const int16_t* samples) {
    std::vector<uint8_t> payload(160);
    CreateCodec(0)->Encode(samples, payload.data());
    return payload;
  }
  static std::vector<uint8_t> Payload(const std::vector<uint8_t>& p) { return {p.begin() + 12, p.end()}; }

  TRtpPeer peer;
  std::shared_ptr<TWavEngine> engine = std::make_shared<TWavEngine>();
  std::shared_ptr<TCall> call = std::make_shared<TCall>(engine, "", nullptr);
};

TEST_F(CallSending, MutedMicrophoneSendsTheMutedFrame) {
  Start();
  call->SetMicrophoneEnabled(false);
  for (int i = 0; i < 3; ++i) Send(Tone());
  auto packets = peer.Drain(200);
  ASSERT_EQ(packets.size(), 2u);
  for (const auto& p : packets) EXPECT_EQ(Payload(p), Pcmu(kMutedFrame.data()));
  EXPECT_GT(call->GetRtpSocket(), 0);
}

// A peer whose SDP has no telephone-event hears each digit as its two tones,
// with a pause between digits so that a repeated one stands apart; nothing
// goes out under the event number.
TEST_F(CallSending, DigitsGoInBandToAPeerWithoutTelephoneEvents) {
  TRtpPayloadMap map;
  map.SendEventType = -1;
  call->SetPayloadMap(map);
  Start();
  call->QueueDtmf("55#");
  for (int i = 0; i < 40; ++i) Send(std::vector<int16_t>(kFrameSamples, 0));
  auto packets = peer.Drain(200);
  ASSERT_EQ(packets.size(), 39u);
  std::string heard;
  char last = 0;
  for (const auto& p : packets) {
    ASSERT_EQ(p[1], 0);
    int16_t pcm[kFrameSamples];
    CreateCodec(0)->Decode(p.data() + 12, pcm, kFrameSamples);
    uint8_t input[kDetectorSamples];
    PcmToDetectorInput(pcm, input);
    const std::string digit = DetectDigit(input);
    const char now = digit.empty() ? 0 : digit[0];
    if (now && now != last) heard += now;
    last = now;
  }
  EXPECT_EQ(heard, "55#");
  EXPECT_EQ(call->GetDtmfQueue(), "");
}

TEST_F(CallSending, WavSourceOfThreeFramesIsPlayedThenTakenOff) {
  Start();
  std::vector<int16_t> wav = MakeTone(600, 5000, 500, 8000);  // 1000 bytes
  std::istringstream bytes(SampleBytes(wav));
  call->SetWavSource(std::make_shared<TWavStream>(bytes));
  for (int i = 0; i < 6; ++i) Send(Tone());
  auto packets = peer.Drain(200);
  ASSERT_EQ(packets.size(), 5u);
  for (int f = 0; f < 3; ++f) EXPECT_EQ(Payload(packets[size_t(f)]), Pcmu(wav.data() + f * 160)) << f;
  EXPECT_EQ(Payload(packets[3]), Pcmu(Tone().data())) << "the microphone comes back";
  EXPECT_EQ(call->GetWavSource(), nullptr);
  EXPECT_EQ(engine->wavStopped, 1);
}

TEST_F(CallSending, UnsetRemoteAddressSendsNothingButCounts) {
  call->SetRemoteRtpAddress("0.0.0.0");
  Start();
  for (int i = 0; i < 5; ++i) Send(Tone());
  EXPECT_TRUE(peer.Drain(100).empty());
  EXPECT_EQ(call->Media().Sender().SequenceNumber(), 5u);
  EXPECT_EQ(call->Media().Sender().Timestamp(), 5u * 160);
  // Without a common codec nothing is prepared at all, and nothing breaks.
  call->SetRemoteRtpAddress("127.0.0.1");
  call->SetCodec(nullptr);
  Send(Tone());
  Send(Tone());
  EXPECT_EQ(peer.Drain(100).size(), 1u) << "only what was prepared before";
  EXPECT_FALSE(call->Media().Sender().Pending());
  // A malformed address is the caller's error and raises on the frame.
  call->SetCodec(CreateCodec(8));
  call->SetRemoteRtpAddress("pbx.invalid");
  Send(Tone());
  EXPECT_THROW(Send(Tone()), Exception);
}

TEST_F(CallSending, CaptureBuffersAlwaysGoBackToTheDevice) {
  TKeepingDevice device;
  device.SetInput(true);
  int16_t storage[kFrameSamples] = {};
  TWaveHeader header;
  header.Data = reinterpret_cast<char*>(storage);
  header.BufferLength = kFrameBytes;
  header.BytesRecorded = 100;  // cut short (the device stopped)
  HandleCapturedBuffer(header, call, device);
  EXPECT_EQ(call->Media().Sender().SequenceNumber(), 0u) << "a short buffer is not sent";
  EXPECT_EQ(device.Queued.size(), 1u);
  header.BytesRecorded = kFrameBytes;
  HandleCapturedBuffer(header, call, device);
  EXPECT_EQ(call->Media().Sender().SequenceNumber(), 1u);
  call->SetWavSource(std::make_shared<TBrokenWav>());
  header.BytesRecorded = kFrameBytes;
  HandleCapturedBuffer(header, call, device);  // SendAudioFrame raises inside
  EXPECT_EQ(device.Queued.size(), 3u);
  EXPECT_EQ(header.BytesRecorded, 0u);
  HandleCapturedBuffer(header, std::weak_ptr<ISipCall>(), device);  // the call is gone
  EXPECT_EQ(device.Queued.size(), 4u);
}

TEST_F(CallSending, FailedStartLeavesNothingBehind) {
  TRtpPeer squatter;  // holds the port the call wants
  call->SetLocalRtpPort(squatter.Port());
  try {
    call->SetMediaActive(true);
    ADD_FAILURE() << "bound a port in use";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "bind failed");
  }
  EXPECT_FALSE(call->GetMediaActive());
  EXPECT_EQ(call->GetRtpSocket(), -1);
  call->SetLocalRtpPort(FreeUdpPort());
  Start();
  call->SetMediaActive(true);  // already running: nothing new
  Send(Tone());
  Send(Tone());
  EXPECT_EQ(peer.Drain(200).size(), 1u);
}

}  // namespace
}  // namespace qv::test
