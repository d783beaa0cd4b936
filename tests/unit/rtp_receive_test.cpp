// The receiving path without its thread: datagrams straight into TRtpReceiver,
// a device that keeps its buffers (or none), the clock moved by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "dialogs/call.h"
#include "media/codecpcm.h"
#include "media/codecs.h"
#include "sip/sdp.h"
#include "media/resources.h"
#include "media/rtp.h"
#include "media/rtpreceive.h"
#include "platform/clock.h"
#include "support/fake_engine.h"
#include "support/rtp_helpers.h"

namespace qv::test {
namespace {

// A PCMU payload whose every sample decodes to the same value, one per sequence
// number, so that the order of played frames can be read back.
uint8_t CodeOf(uint16_t sequence) { return uint8_t(0x90 + sequence % 48); }

// Sample `index` of what was played when a 500 Hz tone was sent from packet 1
// on (packet s starts at timestamp 160 s), through PCMU.
int16_t ToneThroughPcmu(size_t index) {
  int16_t frame[kFrameSamples];
  std::fill(frame, frame + kFrameSamples, int16_t(8000 * std::sin(2 * M_PI * 500 * double(160 + index) / 8000)));
  std::vector<uint8_t> payload(kRtpPayloadRoom);
  auto codec = CreateCodec(0);
  codec->Encode(frame, payload.data());
  int16_t out[kFrameSamples];
  codec->Decode(payload.data(), out, 1);
  return out[0];
}

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
    call->SetRemoteRtpAddress("127.0.0.1");
    call->SetRemoteRtpPort(4000);
    receiver.SetDevice(&device);
  }

  // One 20 ms PCMU packet whose samples all decode to ValueOf(sequence).
  void Audio(uint16_t sequence, uint8_t type = 0, int bytes = 160) {
    Feed(RtpPacket(type, sequence, sequence * 160u, std::vector<uint8_t>(size_t(bytes), CodeOf(sequence))));
  }
  void Feed(const std::vector<uint8_t>& datagram) { receiver.HandlePacket(datagram.data(), int(datagram.size()), *call); }
  void From(const std::string& host, int port, const std::vector<uint8_t>& datagram) {
    receiver.HandleDatagram(datagram.data(), int(datagram.size()), {host, port}, *call);
  }
  // The device finishes its oldest buffer: 10 ms pass.
  void Tick(int slices = 1) {
    for (int i = 0; i < slices && !device.Queued.empty(); ++i) {
      TWaveHeader* h = device.Queued.front();
      device.Queued.pop_front();
      h->InQueue = false;
      receiver.BufferDone(h, call.get());
    }
  }
  // One telephone-event packet; each gets the next sequence number.
  void Event(int code, bool end, uint8_t type = 101, uint32_t timestamp = 0, uint16_t duration = 160) {
    Feed(RtpPacket(type, eventSequence++, timestamp, EventPayload(code, end, duration)));
  }
  // A key press as RFC 4733 senders make it: packets k = 0..10 of an event at
  // `timestamp` (9 updates, the last with the end bit, then two repeats of
  // it), the first marked; `kept` says which of them the network delivers.
  void Press(int code, uint32_t timestamp, const std::vector<int>& kept, uint8_t type = 101) {
    for (int k : kept) {
      const int n = std::min(k, 8);
      Event(code, n == 8, uint8_t(k == 0 ? 0x80 | type : type), timestamp, uint16_t((n + 1) * 160));
    }
    AdvanceClockForTests(250);  // the next press comes a key press later
  }
  uint16_t eventSequence = 1;

  // The first sample of every 20 ms played so far (two slices each).
  std::vector<int16_t> PlayedValues() {
    std::vector<int16_t> values;
    for (size_t i = 0; i < device.Played.size(); i += 2) values.push_back(device.Played[i][0]);
    return values;
  }
  std::vector<int16_t> PlayedSamples() {
    std::vector<int16_t> all;
    for (const auto& slice : device.Played) all.insert(all.end(), slice.begin(), slice.end());
    return all;
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

TEST_F(RtpReceive, PlaysOnTheDevicesClockInTimestampOrder) {
  Audio(1);
  ASSERT_EQ(device.Played.size(), 2u) << "the first packet starts the device with two 10 ms buffers";
  EXPECT_EQ(receiver.QueuedSlices(), 2);
  for (uint16_t s : {3, 2, 5, 4}) Audio(s);
  EXPECT_EQ(device.Played.size(), 2u) << "arrivals do not push audio onto the device";
  Tick(8);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2), ValueOf(3), ValueOf(4), ValueOf(5)}));
  EXPECT_EQ(receiver.QueuedSlices(), 2);
  receiver.BufferDone(device.Queued[0], call.get());
  receiver.BufferDone(device.Queued[0], call.get());  // twice: counted once
  EXPECT_EQ(receiver.QueuedSlices(), 2);
}

TEST_F(RtpReceive, SequenceAndTimestampWrapKeepTheOrder) {
  // Sequence numbers wrap from 65535 to 0 while timestamps wrap from 2^32.
  auto packet = [&](uint16_t sequence, uint32_t timestamp) {
    Feed(RtpPacket(0, sequence, timestamp, std::vector<uint8_t>(160, CodeOf(sequence))));
  };
  const uint32_t t0 = 0xFFFFFFFFu - 159 - 160;
  packet(65534, t0);
  packet(0, t0 + 320);
  packet(65535, t0 + 160);
  packet(1, t0 + 480);
  Tick(6);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(65534), ValueOf(65535), ValueOf(0), ValueOf(1)}));
  EXPECT_EQ(receiver.Shared().Stats().Duplicates, 0u) << "0 after 65535 is no duplicate";
}

TEST_F(RtpReceive, DuplicatesArePlayedOnceAndCounted) {
  for (uint16_t s : {1, 2, 2, 3, 1, 3}) Audio(s);
  Tick(4);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2), ValueOf(3)}));
  EXPECT_EQ(receiver.Shared().Stats().Duplicates, 3u);
  // One frame of a DTMF tone, sent twice, is still one frame: the detector
  // wants two before it reports a digit.
  std::string_view wav = GetResource(5);
  std::vector<uint8_t> tone(160);
  CreateCodec(0)->Encode(reinterpret_cast<const int16_t*>(wav.data() + 44) + 800, tone.data());
  AdvanceClockForTests(1000);
  Feed(RtpPacket(0, 4, 4 * 160, tone));
  Feed(RtpPacket(0, 4, 4 * 160, tone));
  EXPECT_EQ(Notes(), "");
}

TEST_F(RtpReceive, SingleLostPacketIsConcealedAndPlayoutGoesOn) {
  call->SetCodec(CreateCodec(0));
  auto encoder = CreateCodec(0);
  auto tonePacket = [&](uint16_t s) {
    int16_t frame[kFrameSamples];
    for (int i = 0; i < kFrameSamples; ++i) frame[i] = int16_t(8000 * std::sin(2 * M_PI * 500 * (s * 160 + i) / 8000));
    std::vector<uint8_t> payload(160);
    encoder->Encode(frame, payload.data());
    Feed(RtpPacket(0, s, s * 160u, payload));
  };
  for (uint16_t s : {1, 2, 4, 5, 6}) tonePacket(s);  // 3 is lost
  Tick(10);
  const std::vector<int16_t> all = PlayedSamples();
  ASSERT_GE(all.size(), 5u * 160);
  double lostPower = 0;
  for (int i = 2 * 160; i < 3 * 160; ++i) lostPower += double(all[size_t(i)]) * all[size_t(i)];
  EXPECT_GT(std::sqrt(lostPower / 160), 2000) << "the lost frame repeats the last one, fading, not silence";
  EXPECT_EQ(all[3 * 160 + 10], ToneThroughPcmu(3 * 160 + 10)) << "packet 4 plays in its own place";
  const TRtpStats stats = receiver.Shared().Stats();
  EXPECT_GE(stats.ConcealedSamples, 160u);
  EXPECT_EQ(stats.Late, 0u);
}

TEST_F(RtpReceive, ALateStreamStretchesAndABurstIsDroppedBackToTheTarget) {
  Audio(1);
  Tick(6);  // 60 ms with nothing more: concealment, then silence, and no loss
  Audio(2);
  Tick(2);
  std::vector<int16_t> values = PlayedValues();
  EXPECT_NE(std::find(values.begin(), values.end(), ValueOf(2)), values.end()) << "packet 2 was waited for";
  EXPECT_EQ(receiver.Shared().Stats().Late, 0u);

  // A stall, then 400 ms of packets at once: after half a second to be sure
  // it is no passing jitter, 10 ms go per frame, so within two seconds of
  // real-time playing the audio waiting is back under the target.
  for (uint16_t s = 3; s < 23; ++s) Audio(s);
  EXPECT_GE(receiver.Playout().Level(), 19 * 160);
  for (uint16_t s = 23; s < 123; ++s) {
    Audio(s);
    Tick(2);
  }
  EXPECT_LE(receiver.Playout().Level(), 160 + TPlayoutBuffer::kDropAbove + TPlayoutBuffer::kSlice);
  EXPECT_GE(receiver.Shared().Stats().DroppedSamples, 18u * 160);
  EXPECT_EQ(receiver.Shared().Stats().Late, 0u);
}

TEST_F(RtpReceive, TelephoneEventsReportEachKeyPressOnce) {
  const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Press(1, 1000, all);
  EXPECT_EQ(Notes(), "1") << "marked first packet, updates, three ends: one digit";
  EXPECT_FALSE(receiver.EventInProgress());
  Press(1, 3000, all);
  EXPECT_EQ(Notes(), "11") << "the same key again: a new timestamp";
  // Not digits: codes beyond "D", truncated payloads. They end nothing either.
  Event(16, false, 101, 5000);
  Feed(RtpPacket(101, eventSequence++, 6000, {7, 0x0A}));
  Feed(RtpPacket(101, eventSequence++, 7000, {}));
  EXPECT_EQ(Notes(), "11");
  EXPECT_EQ(receiver.Playout().Level(), 0) << "an event never reaches the audio";
  Event(11, false, 101, 8000);
  EXPECT_EQ(Notes(), "11#");
}

// What the network does to the events of real phones: starts and ends lost,
// packets late or repeated. Every key press is reported once.
TEST_F(RtpReceive, LostStartsAndEndsStillGiveEachDigitOnce) {
  Press(2, 1000, {3, 4, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(Notes(), "2") << "start lost: reported from the first packet seen";
  Press(3, 3000, {0, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Notes(), "23");
  EXPECT_TRUE(receiver.EventInProgress());
  Press(4, 5000, {0, 1, 2, 8, 9, 10});
  EXPECT_EQ(Notes(), "234") << "the lost end of 3 did not swallow 4";
  Press(4, 7000, {0, 1, 2, 3});
  Press(4, 9000, {0, 1, 2, 8});
  EXPECT_EQ(Notes(), "23444") << "the same key twice, its end lost between";
  Press(5, 11000, {10});
  EXPECT_EQ(Notes(), "234445") << "only the last end packet came";
  // Late and repeated packets of events already reported.
  Press(4, 9000, {9, 10});
  Press(2, 1000, {5});
  Event(5, true, 101, 11000, 1440);
  EXPECT_EQ(Notes(), "234445");
  // A new source (a PBX changing its bridge) may start its clock lower.
  std::vector<uint8_t> other = RtpPacket(0x80 | 101, 1, 500, EventPayload(6, false, 160));
  other[8] = 0x55;
  Feed(other);
  EXPECT_EQ(Notes(), "2344456");
}

// Older senders stamp every packet of one key press with the time of its own
// frame (the duration still grows): that is one event, not nine.
TEST_F(RtpReceive, EventsStampedPacketByPacketAreOneKeyPress) {
  for (int k = 0; k < 11; ++k) {
    const int n = std::min(k, 8);
    Event(7, n == 8, 101, uint32_t(4000 + 160 * n), uint16_t((n + 1) * 160));
  }
  AdvanceClockForTests(250);
  for (int k = 0; k < 3; ++k) Event(7, false, 101, uint32_t(6000 + 160 * k), uint16_t((k + 1) * 160));
  EXPECT_EQ(Notes(), "77");
}

// The payload types the SDP exchange gave: telephone events under the
// peer's number (96) and ours (101); comfort noise and types nobody named
// never played as the call's audio; a number the SDP gave another codec is
// not taken for the decoder's own.
TEST_F(RtpReceive, PayloadTypesAreReadAsTheSdpNamedThem) {
  TSdpAudio offer;
  TSdpAudioReader reader(offer);
  for (const char* line : {"m=audio 4000 RTP/AVP 0 96 13 110", "a=rtpmap:96 telephone-event/8000",
                           "a=rtpmap:13 CN/8000", "a=rtpmap:110 iLBC/8000"})
    reader.Line(line);
  call->SetPayloadMap(MakePayloadMap(offer, ChooseAudio(offer, {0}), false));
  Press(9, 1000, {0, 1, 2, 8, 9, 10}, 96);
  Press(8, 3000, {0, 1, 8, 9, 10}, 101);
  EXPECT_EQ(Notes(), "98");
  for (uint16_t s = 0; s < 8; ++s) Audio(s, 13, 1);  // comfort noise
  for (uint16_t s = 0; s < 8; ++s) Audio(s, 110);
  for (uint16_t s = 0; s < 8; ++s) Audio(s, 18);
  EXPECT_FALSE(receiver.Playout().Started());
  TRtpReceiver speex{CreateCodec(110)};
  if (speex.Decoder()) {
    auto d = RtpPacket(110, 1, 0, std::vector<uint8_t>(38, 0x55));
    speex.HandlePacket(d.data(), int(d.size()), *call);
    EXPECT_FALSE(speex.Playout().Started()) << "110 is iLBC here, whatever the decoder is";
  }
  EXPECT_EQ(receiver.Decoder()->GetPayloadType(), 0);
}

// RFC 3550 5.1, 5.3.1: version 2 only; the CSRC list and the header
// extension are skipped; a header that runs past the datagram drops it.
TEST_F(RtpReceive, CsrcsAndExtensionsAreSkipped) {
  auto withHeader = [](uint16_t s, int csrcs, int extensionWords) {
    std::vector<uint8_t> p = RtpPacket(0, s, s * 160u, {});
    p[0] = uint8_t(0x80 | csrcs | (extensionWords >= 0 ? 0x10 : 0));
    p.insert(p.end(), size_t(4 * csrcs), 0xEE);
    if (extensionWords >= 0) {
      p.insert(p.end(), {0xBE, 0xDE, 0, uint8_t(extensionWords)});
      p.insert(p.end(), size_t(4 * extensionWords), 0xEE);
    }
    p.insert(p.end(), 160, CodeOf(s));
    return p;
  };
  for (uint16_t s = 1; s <= 6; ++s) Feed(withHeader(s, s % 3, s % 2 ? 2 : -1));
  Tick(2);
  ASSERT_EQ(device.Played.size(), 4u);
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2)}));
  EXPECT_EQ(device.Played[3][79], ValueOf(2)) << "no header byte played as audio";
  const int level = receiver.Playout().Level();

  std::vector<uint8_t> cut = withHeader(7, 15, -1);
  cut.resize(12 + 4 * 15 - 1);
  Feed(cut);
  std::vector<uint8_t> longExtension = withHeader(8, 0, 1);
  longExtension[15] = 200;  // 800 bytes claimed
  Feed(longExtension);
  std::vector<uint8_t> version1 = withHeader(9, 0, -1);
  version1[0] = 0x40;
  Feed(version1);
  EXPECT_EQ(receiver.Playout().Level(), level) << "none of the three was taken";
}

// Whatever the packet time, the conference and the recorder get every
// sample, in order, in 20 ms frames.
TEST_F(RtpReceive, PacketTimesFrom10To60MsReachTheConferenceWhole) {
  receiver.SetDevice(nullptr);
  for (int ms : {10, 30, 60}) {
    SCOPED_TRACE(ms);
    auto log = std::make_shared<TFrameLog>();
    call->SetConference(log);
    TRtpReceiver r{CreateCodec(0)};
    r.SetDevice(nullptr);
    const int samples = ms * 8;
    uint32_t t = 0;
    for (uint16_t s = 0; t < 16000; ++s, t += uint32_t(samples)) {
      std::vector<uint8_t> payload(static_cast<size_t>(samples));
      for (int i = 0; i < samples; ++i) payload[size_t(i)] = UlawEncode(int16_t((t + uint32_t(i)) % 4000 * 8));
      auto d = RtpPacket(0, s, t, payload);
      r.HandlePacket(d.data(), int(d.size()), *call);
      for (int k = 0; k < ms / 10; ++k) r.SliceElapsed(*call);  // played in real time
    }
    auto frames = log->Remote();
    ASSERT_GT(frames.size(), 40u);
    for (size_t f = 0; f < frames.size(); ++f)
      for (int i = 0; i < kFrameSamples; ++i)
        ASSERT_EQ(frames[f][size_t(i)], UlawDecode(UlawEncode(int16_t((f * 160 + size_t(i)) % 4000 * 8))))
            << "frame " << f << " sample " << i;
    call->SetConference(nullptr);
  }
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
  EXPECT_FALSE(bare.Playout().Started());
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
  EXPECT_FALSE(receiver.Playout().Started());
  // A padded packet plays its payload only; an oversized G.711 payload is cut
  // to what the decode area takes.
  for (uint16_t s = 0; s < 6; ++s) {
    auto padded = RtpPacket(0, s, s * 160u, std::vector<uint8_t>(164, CodeOf(s)));
    padded[0] |= 0x20;
    padded.back() = 4;
    Feed(padded);
  }
  Tick(4);
  EXPECT_EQ(receiver.Playout().Level(), (6 - 3) * 160) << "each padded packet gives 160 samples, three frames played";
  EXPECT_EQ(receiver.Shared().Stats().Late, 0u);
  // An oversized G.711 payload is cut to what the decode area takes: 512
  // samples, played as whole frames.
  TKeepingDevice big;
  TRtpReceiver wide{CreateCodec(0)};
  wide.SetDevice(&big);
  auto log = std::make_shared<TFrameLog>();
  call->SetConference(log);
  auto d = RtpPacket(0, 1, 0, std::vector<uint8_t>(800, CodeOf(1)));
  wide.HandlePacket(d.data(), int(d.size()), *call);
  EXPECT_EQ(wide.Playout().Level(), 512 - 160);
  while (!big.Queued.empty()) {
    TWaveHeader* h = big.Queued.front();
    big.Queued.pop_front();
    h->InQueue = false;
    wide.BufferDone(h, call.get());
    if (big.Played.size() > 12) break;
  }
  EXPECT_EQ(log->Remote().size(), 3u) << "three whole frames; the 32 samples left wait for more";
  call->SetConference(nullptr);
}

TEST_F(RtpReceive, MutedSpeakerStillFeedsConferenceAndRecorder) {
  auto log = std::make_shared<TFrameLog>();
  call->SetConference(log);
  call->SetSpeakerEnabled(false);
  for (uint16_t s = 1; s <= 6; ++s) Audio(s);
  Tick(2);
  ASSERT_EQ(device.Played.size(), 4u);
  for (const auto& buffer : device.Played)
    for (int16_t v : buffer) ASSERT_EQ(v, 0);
  auto remote = log->Remote();
  ASSERT_EQ(remote.size(), 2u);
  EXPECT_EQ(remote[0][0], ValueOf(1));
  EXPECT_EQ(remote[1][159], ValueOf(2));
  call->SetConference(nullptr);
}

TEST_F(RtpReceive, TwelveSecondsOfSilenceAreReportedTwice) {
  receiver.SetDevice(nullptr);  // the watch runs as packets arrive, whatever plays
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

TEST_F(RtpReceive, OnlyThePeersAddressIsHeard) {
  auto audio = [](uint16_t s) { return RtpPacket(0, s, s * 160u, std::vector<uint8_t>(160, CodeOf(s))); };
  From("127.0.0.1", 4000, audio(1));
  From("127.0.0.1", 4001, audio(2));                               // another port
  From("192.0.2.66", 4000, RtpPacket(101, 9, 0, EventPayload(5, false, 160)));  // a forged digit
  From("192.0.2.66", 4000, audio(3));
  From("127.0.0.1", 4000, audio(2));
  Tick(2);
  EXPECT_EQ(Notes(), "");
  EXPECT_EQ(PlayedValues(), (std::vector<int16_t>{ValueOf(1), ValueOf(2)}));
  const TRtpStats stats = receiver.Shared().Stats();
  EXPECT_EQ(stats.ForeignSource, 3u);
  EXPECT_EQ(stats.Received, 5u);
  EXPECT_EQ(stats.Source, "127.0.0.1:4000");
}

TEST_F(RtpReceive, APeerBehindANatIsLatchedAndAnsweredThere) {
  const TRtpAddress sdp{"127.0.0.1", 4000}, nat{"203.0.113.5", 30000}, stranger{"198.51.100.1", 5000};
  auto audio = [](uint16_t s) { return RtpPacket(0, s, s * 160u, std::vector<uint8_t>(160, CodeOf(s))); };
  // Nothing to latch onto: not RTP version 2, or a payload type the call does not take.
  auto version1 = audio(1);
  version1[0] = 0x40;
  From(stranger.Host, stranger.Port, version1);
  From(stranger.Host, stranger.Port, RtpPacket(18, 1, 0, std::vector<uint8_t>(20, 0)));
  EXPECT_EQ(receiver.Shared().SendTarget(sdp), sdp);
  // The first valid packet latches its source, and our RTP goes back there.
  From(nat.Host, nat.Port, audio(1));
  EXPECT_EQ(receiver.Shared().Stats().Source, "203.0.113.5:30000");
  EXPECT_EQ(receiver.Shared().SendTarget(sdp), nat);
  From(stranger.Host, stranger.Port, audio(2));
  EXPECT_EQ(receiver.Shared().Stats().ForeignSource, 3u);
  // The address the SDP gave takes the latch over; the NAT source is then a stranger.
  From(sdp.Host, sdp.Port, audio(2));
  EXPECT_EQ(receiver.Shared().SendTarget(sdp), sdp);
  From(nat.Host, nat.Port, audio(3));
  EXPECT_EQ(receiver.Shared().Stats().ForeignSource, 4u);
  // A new answer that moves the peer forgets the latch.
  call->SetRemoteRtpPort(4002);
  From(nat.Host, nat.Port, audio(3));
  EXPECT_EQ(receiver.Shared().Stats().Source, "203.0.113.5:30000");
  EXPECT_EQ(receiver.Shared().SendTarget({"127.0.0.1", 4002}), nat);
  EXPECT_EQ(receiver.Shared().SendTarget(sdp), sdp) << "latched against the new address only";
  // Another port of the address the SDP gave is no NAT: it is heard, and
  // answered where the SDP said.
  call->SetRemoteRtpPort(4004);
  From(sdp.Host, 4005, audio(4));
  EXPECT_EQ(receiver.Shared().Stats().Source, "127.0.0.1:4005");
  EXPECT_EQ(receiver.Shared().SendTarget({"127.0.0.1", 4004}), (TRtpAddress{"127.0.0.1", 4004}));
}

TEST_F(RtpReceive, ANewSsrcFromThePeerStartsPlayoutAfresh) {
  for (uint16_t s = 100; s < 103; ++s) Audio(s);
  Tick(2);
  // Music on hold from the PBX: new SSRC, sequence and timestamps far behind.
  auto moh = RtpPacket(0, 7, 160, std::vector<uint8_t>(160, CodeOf(7)));
  moh[8] = 0x55;
  Feed(moh);
  moh[3] = 8;
  moh[7] = 0x40;  // timestamp 320
  Feed(moh);
  Tick(6);
  const std::vector<int16_t> values = PlayedValues();
  EXPECT_NE(std::find(values.begin(), values.end(), ValueOf(7)), values.end());
  EXPECT_EQ(receiver.Shared().Stats().Late, 0u) << "the new stream is not late against the old one";
}

TEST(JitterQueue, SerialNumberOrderAndTheDuplicateWindow) {
  EXPECT_TRUE(SequenceBefore(65535, 0));
  EXPECT_TRUE(SequenceBefore(65000, 100));
  EXPECT_FALSE(SequenceBefore(0, 65535));
  EXPECT_FALSE(SequenceBefore(7, 7));
  TSequenceWindow window;
  EXPECT_FALSE(window.Duplicate(65530));
  EXPECT_FALSE(window.Duplicate(2));  // across the wrap
  EXPECT_TRUE(window.Duplicate(65530));
  EXPECT_FALSE(window.Duplicate(65531));
  EXPECT_TRUE(window.Duplicate(2));
  EXPECT_FALSE(window.Duplicate(200));
  EXPECT_FALSE(window.Duplicate(2)) << "older than the window: left to the playout's late check";
}

}  // namespace
}  // namespace qv::test
