// The receiving path without its thread: datagrams straight into TRtpReceiver,
// a device that keeps its buffers (or none), the clock moved by hand.
#include <gtest/gtest.h>

#include <string_view>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/resources.h"
#include "media/rtpreceive.h"
#include "platform/clock.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"

namespace qv::test {
namespace {

// A PCMU payload whose every sample decodes to the same value, one per sequence
// number, so that the order of played frames can be read back.
uint8_t CodeOf(uint16_t sequence) { return uint8_t(0x90 + sequence % 48); }

int16_t ValueOf(uint16_t sequence) {
  uint8_t code = CodeOf(sequence);
  int16_t sample;
  CreateCodec(0)->Decode(&code, &sample, 1);
  return sample;
}

class RtpReceive : public ::testing::Test {
protected:
  void SetUp() override {
    call->SetCodec(CreateCodec(0));
    call->SetSilenceThreshold(0);  // 0: never silent
    call->SetSilenceTimeout(5000);
    receiver.SetDevice(&device);
  }

  void Audio(uint16_t sequence, uint8_t type = 0, int bytes = 160) {
    Feed(RtpPacket(type, sequence, sequence * 160u, std::vector<uint8_t>(size_t(bytes), CodeOf(sequence))));
  }
  void Feed(const std::vector<uint8_t>& datagram) { receiver.HandlePacket(datagram.data(), int(datagram.size()), *call); }
  void Event(int code, bool end, uint8_t type = 101) { Feed(RtpPacket(type, 1, 0, EventPayload(code, end, 160))); }

  // The first sample of every buffer played so far.
  std::vector<int16_t> PlayedValues() {
    std::vector<int16_t> values;
    for (const auto& buffer : device.Played) values.push_back(buffer.empty() ? 0 : buffer[0]);
    return values;
  }
  std::string Notes() {
    std::string text;
    for (const auto& note : engine->DtmfNotes()) text += note.Text;
    return text;
  }

  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TCall> call = std::make_shared<TCall>(engine, "", nullptr);
  TKeepingDevice device;
  TRtpReceiver receiver{CreateCodec(0)};
};

TEST_F(RtpReceive, FourPacketReorderingPlaysInSequence) {
  for (uint16_t s : {3, 1, 2, 5, 4}) Audio(s);
  EXPECT_TRUE(device.Played.empty()) << "four packets are held back";
  Audio(6);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2)})) << "playback starts with two frames";
  Audio(7);
  Audio(8);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2), ValueOf(3), ValueOf(4)}));
  EXPECT_EQ(receiver.FreeBufferCount(), TRtpReceiver::kPlayBuffers - 4);
  // Buffers the device gives back are used again.
  receiver.BufferDone(device.Queued[0]);
  receiver.BufferDone(device.Queued[0]);  // twice: counted once
  EXPECT_EQ(receiver.FreeBufferCount(), TRtpReceiver::kPlayBuffers - 3);
}

TEST_F(RtpReceive, SequenceWrapKeepsOlderPacketsFirst) {
  for (uint16_t s : {65533, 65535, 65534, 1, 0, 2, 3, 4}) Audio(s);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(65533), ValueOf(65534), ValueOf(65535), ValueOf(0)}));
}

TEST_F(RtpReceive, OverrunDropsWaitingAudioButKeepsPlaying) {
  for (uint16_t s = 0; s < 40; ++s) Audio(s);  // the device never gives a buffer back
  EXPECT_EQ(device.Played.size(), size_t(TRtpReceiver::kPlayBuffers));
  EXPECT_EQ(receiver.FreeBufferCount(), 0);
  EXPECT_EQ(receiver.PendingBytes(), 0);
  receiver.BufferDone(device.Queued[5]);
  Audio(40);
  EXPECT_EQ(device.Played.size(), size_t(TRtpReceiver::kPlayBuffers + 1));
  EXPECT_EQ(device.Played.back()[0], ValueOf(36)) << "the next packet out of the queue plays";
  Audio(41);
  EXPECT_EQ(device.Played.size(), size_t(TRtpReceiver::kPlayBuffers + 1));
}

TEST_F(RtpReceive, TelephoneEventsReportEachKeyPressOnce) {
  for (bool end : {false, false, false, true, true, true}) Event(1, end);
  EXPECT_EQ(Notes(), "1");
  AdvanceClockForTests(130);
  Event(1, false);
  Event(1, true);
  EXPECT_EQ(Notes(), "11") << "a new press of the same key after its end packets";
  // Not events: the marker bit set (0xE5), codes beyond "D", a truncated payload.
  Event(5, false, 0xE5);
  AdvanceClockForTests(130);
  Event(16, false);
  Feed(RtpPacket(101, 2, 0, {7, 0x0A}));
  Feed(RtpPacket(101, 3, 0, {}));
  EXPECT_EQ(Notes(), "11");
  EXPECT_FALSE(receiver.EventInProgress());
  EXPECT_EQ(receiver.QueuedPackets(), 0) << "an event never reaches the audio queue";
  Event(11, false);
  EXPECT_EQ(Notes(), "11#");
}

TEST_F(RtpReceive, DecoderFollowsTheSenderButTheCallKeepsItsCodec) {
  for (uint16_t s = 0; s < 6; ++s) Audio(s, 8);
  ASSERT_TRUE(receiver.Decoder());
  EXPECT_EQ(receiver.Decoder()->GetPayloadType(), 8);
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 0);
  uint8_t code = CodeOf(0);
  int16_t alaw;
  CreateCodec(8)->Decode(&code, &alaw, 1);
  ASSERT_EQ(device.Played.size(), 2u);
  EXPECT_EQ(device.Played[0][0], alaw);
}

TEST_F(RtpReceive, CallWithoutCodecStillPlaysG711AndIgnoresTheRest) {
  TRtpReceiver bare{nullptr};
  bare.SetDevice(&device);
  auto feed = [&](uint8_t type, uint16_t s) {
    auto d = RtpPacket(type, s, 0, std::vector<uint8_t>(160, CodeOf(s)));
    bare.HandlePacket(d.data(), int(d.size()), *call);
  };
  for (uint16_t s = 0; s < 4; ++s) feed(110, s);  // Speex: never switched to
  feed(18, 4);                                    // G.729: unknown
  EXPECT_FALSE(bare.Decoder());
  EXPECT_EQ(bare.QueuedPackets(), 0);
  for (uint16_t s = 0; s < 6; ++s) feed(0, s);
  ASSERT_TRUE(bare.Decoder());
  EXPECT_EQ(device.Played.size(), 2u);
}

TEST_F(RtpReceive, MalformedDatagramsAreDropped) {
  std::vector<uint8_t> shortOne = {0x80, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  Feed(shortOne);
  auto badPadding = RtpPacket(0, 1, 0, {0xFF, 0xFF, 0x09});
  badPadding[0] |= 0x20;  // claims 9 padding bytes in a 3-byte payload
  Feed(badPadding);
  EXPECT_EQ(receiver.QueuedPackets(), 0);
  // A padded packet plays its payload only; an oversized G.711 payload is cut
  // to what the decode area takes.
  for (uint16_t s = 0; s < 6; ++s) {
    auto padded = RtpPacket(0, s, 0, std::vector<uint8_t>(164, CodeOf(s)));
    padded[0] |= 0x20;
    padded.back() = 4;
    Feed(padded);
  }
  ASSERT_EQ(device.Played.size(), 2u);
  EXPECT_EQ(device.Played[0].size(), 160u);
  TKeepingDevice big;
  TRtpReceiver wide{CreateCodec(0)};
  wide.SetDevice(&big);
  auto log = std::make_shared<TFrameLog>();
  call->SetConference(log);
  for (uint16_t s = 0; s < 6; ++s) {
    auto d = RtpPacket(0, s, 0, std::vector<uint8_t>(800, CodeOf(s)));
    wide.HandlePacket(d.data(), int(d.size()), *call);
  }
  ASSERT_EQ(big.Played.size(), 2u);
  EXPECT_EQ(big.Played[0].size(), 512u);
  EXPECT_EQ(log->Remote().size(), 6u) << "every whole frame of a long buffer reaches the conference";
  call->SetConference(nullptr);
}

TEST_F(RtpReceive, MutedSpeakerStillFeedsConferenceAndRecorder) {
  auto log = std::make_shared<TFrameLog>();
  call->SetConference(log);
  call->SetSpeakerEnabled(false);
  for (uint16_t s = 1; s <= 6; ++s) Audio(s);
  ASSERT_EQ(device.Played.size(), 2u);
  for (const auto& buffer : device.Played)
    for (int16_t v : buffer) ASSERT_EQ(v, 0);
  auto remote = log->Remote();
  ASSERT_EQ(remote.size(), 2u);
  EXPECT_EQ(remote[0][0], ValueOf(1));
  EXPECT_EQ(remote[1][159], ValueOf(2));
  call->SetConference(nullptr);
}

TEST_F(RtpReceive, TwelveSecondsOfSilenceAreReportedTwice) {
  receiver.SetDevice(nullptr);  // buffers count as played at once
  call->SetSilenceThreshold(500);
  receiver.SetLastVoiceTime(GetTickMs());
  for (uint16_t s = 0; s < 600; ++s) {
    AdvanceClockForTests(20);
    Feed(RtpPacket(0, s, 0, std::vector<uint8_t>(160, 0xFF)));  // 0xFF: sample 0
  }
  EXPECT_EQ(Notes(), "ss");
}

TEST_F(RtpReceive, InBandDigitIsReportedOncePerKeyPress) {
  receiver.SetDevice(nullptr);
  // Resource 5 is the tone of "5": 300 ms of tone, then 50 ms of silence.
  std::string_view wav = GetResource(5);
  ASSERT_EQ(wav.size(), 5644u);
  auto samples = reinterpret_cast<const int16_t*>(wav.data() + 44);
  auto encoder = CreateCodec(0);
  uint16_t sequence = 0;
  auto play = [&](int pauseFrames) {
    for (int f = 0; f < 17; ++f) {
      std::vector<uint8_t> payload(160);
      encoder->Encode(samples + f * 160, payload.data());
      AdvanceClockForTests(20);
      Feed(RtpPacket(0, sequence++, 0, payload));
    }
    for (int f = 0; f < pauseFrames; ++f) {
      AdvanceClockForTests(20);
      Feed(RtpPacket(0, sequence++, 0, std::vector<uint8_t>(160, 0xFF)));
    }
  };
  play(15);
  EXPECT_EQ(Notes(), "5") << "a held tone makes one report";
  play(0);
  EXPECT_EQ(Notes(), "55") << "pressed again after a 300 ms pause";
}

TEST(JitterQueue, SerialNumberOrder) {
  EXPECT_TRUE(SequenceBefore(65535, 0));
  EXPECT_TRUE(SequenceBefore(65000, 100));
  EXPECT_FALSE(SequenceBefore(0, 65535));
  EXPECT_FALSE(SequenceBefore(7, 7));
  TPcmFifo fifo;
  std::vector<uint8_t> chunk(1000);
  for (int i = 0; i < 20; ++i) {
    std::fill(chunk.begin(), chunk.end(), uint8_t(i));
    fifo.Append(chunk.data(), int(chunk.size()));
  }
  EXPECT_EQ(fifo.Size(), TPcmFifo::kCapacity) << "the oldest bytes make room";
  uint8_t first;
  fifo.Take(&first, 1);
  EXPECT_EQ(first, 3) << "20000 bytes in, the first 3616 (chunks 0 to 2 and part of 3) dropped";
}

}  // namespace
}  // namespace qv::test
