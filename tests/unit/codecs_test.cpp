// G.711 against the spandsp codec (an independent implementation of the ITU
// tables), the codec factory, and the one-encoder-one-decoder threading rule
// that every codec promises.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "media/codecgsm.h"
#include "media/codecpcm.h"
#include "media/codecs.h"
#include "support/audiosignals.h"

namespace qv {
namespace {

class ItuG711 {
public:
  explicit ItuG711(int law) : state_(g711_init(nullptr, law)) {}
  ~ItuG711() { g711_free(state_); }
  int16_t Decode(uint8_t code) {
    int16_t s;
    g711_decode(state_, &s, &code, 1);
    return s;
  }
  uint8_t Encode(int16_t sample) {
    uint8_t code;
    g711_encode(state_, &code, &sample, 1);
    return code;
  }

private:
  g711_state_t* state_;
};

// A-law code -> (positive?, magnitude level 0..127), levels in loudness order.
int AlawLevel(uint8_t code) {
  const int folded = code ^ 0x55;
  return (folded & 0x80) ? (folded & 0x7F) : -(folded & 0x7F) - 1;
}

std::vector<uint8_t> EncodeFrame(IAudioCodec& codec, const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> out(1024);
  out.resize(size_t(codec.Encode(pcm.data(), out.data())));
  return out;
}

TEST(G711, EncodesTheEdgeSamples) {
  std::vector<int16_t> frame(160, 0);
  const int16_t ulawIn[6] = {0, 4, -1, -4, 32767, -32768};
  const uint8_t ulawOut[6] = {0xFF, 0xFE, 0x7E, 0x7E, 0x80, 0x02};
  std::copy(ulawIn, ulawIn + 6, frame.begin());
  TCodecPCMU pcmu;
  const auto u = EncodeFrame(pcmu, frame);
  ASSERT_EQ(u.size(), 160u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(u[size_t(i)], ulawOut[i]) << ulawIn[i];

  const int16_t alawIn[4] = {0, -1, 32767, -32768};
  const uint8_t alawOut[4] = {0xD5, 0x55, 0xAA, 0x2A};
  std::copy(alawIn, alawIn + 4, frame.begin());
  TCodecPCMA pcma;
  const auto a = EncodeFrame(pcma, frame);
  ASSERT_EQ(a.size(), 160u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a[size_t(i)], alawOut[i]) << alawIn[i];
}

TEST(G711, DecodesTheEdgeCodesAndAnyLength) {
  int16_t out[512];
  const uint8_t ulaw[5] = {0x00, 0x80, 0xFF, 0x7F, 0x02};
  const int16_t ulawPcm[5] = {-32124, 32124, 0, 0, -30076};
  TCodecPCMU pcmu;
  ASSERT_EQ(pcmu.Decode(ulaw, out, 5), 10);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], ulawPcm[i]);

  const uint8_t alaw[4] = {0xD5, 0x55, 0xAA, 0x2A};
  const int16_t alawPcm[4] = {8, -8, 32124, -32124};
  TCodecPCMA pcma;
  ASSERT_EQ(pcma.Decode(alaw, out, 4), 8);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], alawPcm[i]);

  for (IAudioCodec* codec : {static_cast<IAudioCodec*>(&pcmu), static_cast<IAudioCodec*>(&pcma)}) {
    std::vector<uint8_t> payload(240, 0xD5);
    out[0] = 1234;
    EXPECT_EQ(codec->Decode(payload.data(), out, 0), 0);
    EXPECT_EQ(codec->Decode(payload.data(), out, -5), 0);
    EXPECT_EQ(out[0], 1234);  // nothing written
    EXPECT_EQ(codec->Decode(payload.data(), out, 240), 480);
  }
}

TEST(G711, MulawMatchesTheItuCodec) {
  ItuG711 itu(G711_ULAW);
  for (int code = 0; code < 256; ++code) EXPECT_EQ(UlawDecode(uint8_t(code)), itu.Decode(uint8_t(code))) << code;
  // The biased encoder (the first step of A-law) is the ITU quantiser itself.
  for (int s = -32768; s <= 32767; ++s) {
    ASSERT_EQ(UlawEncodeBiased(int16_t(s)), itu.Encode(int16_t(s))) << s;
  }
}

// The codecs code whole frames by table; the tables must hold exactly what
// the per-sample quantisers give, for every 16-bit value.
TEST(G711, FrameEncodersAgreeWithThePerSampleQuantisers) {
  TCodecPCMU pcmu;
  TCodecPCMA pcma;
  std::vector<int16_t> frame(160);
  uint8_t u[1024], a[1024];
  for (int base = -32768; base <= 32767; base += 160) {
    for (int i = 0; i < 160; ++i) frame[size_t(i)] = int16_t(std::min(base + i, 32767));
    pcmu.Encode(frame.data(), u);
    pcma.Encode(frame.data(), a);
    for (int i = 0; i < 160; ++i) {
      ASSERT_EQ(u[i], UlawEncode(frame[size_t(i)])) << frame[size_t(i)];
      ASSERT_EQ(a[i], UlawToAlaw(UlawEncodeBiased(frame[size_t(i)]))) << frame[size_t(i)];
      ASSERT_EQ(a[i], AlawEncode(frame[size_t(i)])) << frame[size_t(i)];
    }
  }
  for (int code = 0; code < 256; ++code) {
    ASSERT_EQ(AlawDecode(uint8_t(code)), UlawDecode(AlawToUlaw(uint8_t(code))));
  }
}

TEST(G711, PcmuEncoderDiffersFromTheBiasedOneOnlyWhereIntended) {
  // Positive samples agree. Negative ones are quantised from the 14-bit value,
  // whose magnitude rounds up, so they may land one level louder; the zero
  // trap turns the loudest negative code 0x00 into 0x02.
  EXPECT_EQ(UlawEncode(-1), 0x7E);
  EXPECT_EQ(UlawEncodeBiased(-1), 0x7F);
  EXPECT_EQ(UlawEncode(-32124), 0x02);
  EXPECT_EQ(UlawEncodeBiased(-32124), 0x00);
  int differing = 0;
  for (int s = -32768; s <= 32767; ++s) {
    const int plain = UlawEncode(int16_t(s));
    const int biased = UlawEncodeBiased(int16_t(s));
    ASSERT_NE(plain, 0x00) << s;
    if (plain == biased) continue;
    ++differing;
    ASSERT_LT(s, 0);
    if (plain != biased - 1) {  // only the zero trap may go further
      ASSERT_EQ(plain, 0x02) << s;
      ASSERT_LE(biased, 0x01) << s;
    }
  }
  EXPECT_GT(differing, 0);
}

TEST(G711, AlawByWayOfMulawStaysWithinOneLevelOfItu) {
  ItuG711 itu(G711_ALAW);
  // Decoding lands on the mu-law level nearest the A-law one: never more than
  // 132 away, which is about half a step in the loudest segments.
  for (int code = 0; code < 256; ++code) {
    const int ours = AlawDecode(uint8_t(code));
    const int reference = itu.Decode(uint8_t(code));
    EXPECT_EQ(ours < 0, reference < 0) << code;
    EXPECT_LE(std::abs(ours - reference), 132) << code;
  }
  // Encoding picks the ITU code or a near one: one level off where the two
  // quantisers disagree, two where mu-law is the coarser of the two laws and
  // skips every other A-law level.
  int off[3] = {};
  for (int s = -32768; s <= 32767; ++s) {
    const int ours = AlawLevel(AlawEncode(int16_t(s)));
    const int reference = AlawLevel(itu.Encode(int16_t(s)));
    ASSERT_LE(std::abs(ours - reference), 2) << s;
    ++off[std::abs(ours - reference)];
  }
  EXPECT_GT(off[0], 45000);
  EXPECT_LT(off[2], 1000);
  // The conversion tables are inverse to each other except where one law has
  // two levels for one of the other.
  int roundTrips = 0;
  for (int code = 0; code < 256; ++code) roundTrips += UlawToAlaw(AlawToUlaw(uint8_t(code))) == code;
  EXPECT_EQ(roundTrips, 240);
}

TEST(CodecFactory, MakesTheKnownPayloadTypes) {
  for (int type : {0, 8, 3}) {
    const IAudioCodecPtr codec = CreateCodec(type);
    ASSERT_TRUE(codec) << type;
    EXPECT_EQ(codec->GetPayloadType(), type);
    EXPECT_EQ(codec->GetFrameSize(), 160);
  }
  EXPECT_NE(CreateCodec(0), CreateCodec(0));  // a new object each time
  for (int type : {18, 101, -1, 2, 127, 96}) EXPECT_FALSE(CreateCodec(type)) << type;
  EXPECT_EQ(bool(CreateCodec(110)), SpeexAvailable());
}

// Capture encodes while playback decodes on the same object: the results must
// be those of an encoder and a decoder that each ran alone.
TEST(CodecThreads, EncodeAndDecodeRunAtOnceOnOneObject) {
  std::vector<int> types = {0, 8, 3};
  if (SpeexAvailable()) types.push_back(110);
  const auto speech = test::SpeechLike(3000, 160 * 50, 11);
  for (int type : types) {
    // Reference payloads and decodes from separate objects.
    const IAudioCodecPtr refEnc = CreateCodec(type);
    const IAudioCodecPtr refDec = CreateCodec(type);
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<std::vector<int16_t>> decoded;
    for (int f = 0; f < 50; ++f) {
      std::vector<int16_t> frame(speech.begin() + f * 160, speech.begin() + (f + 1) * 160);
      payloads.push_back(EncodeFrame(*refEnc, frame));
      std::vector<int16_t> pcm(512);
      pcm.resize(size_t(refDec->Decode(payloads.back().data(), pcm.data(),
                                       int(payloads.back().size())) / 2));
      decoded.push_back(pcm);
    }
    const IAudioCodecPtr shared = CreateCodec(type);
    std::vector<std::vector<uint8_t>> encodedAtOnce(50);
    std::vector<std::vector<int16_t>> decodedAtOnce(50);
    std::thread capture([&] {
      for (int f = 0; f < 50; ++f) {
        std::vector<int16_t> frame(speech.begin() + f * 160, speech.begin() + (f + 1) * 160);
        encodedAtOnce[size_t(f)] = EncodeFrame(*shared, frame);
      }
    });
    std::thread playback([&] {
      for (int f = 0; f < 50; ++f) {
        std::vector<int16_t> pcm(512);
        const auto& p = payloads[size_t(f)];
        pcm.resize(size_t(shared->Decode(p.data(), pcm.data(), int(p.size())) / 2));
        decodedAtOnce[size_t(f)] = pcm;
      }
    });
    capture.join();
    playback.join();
    EXPECT_EQ(encodedAtOnce, payloads) << "payload type " << type;
    EXPECT_EQ(decodedAtOnce, decoded) << "payload type " << type;
  }
}

}  // namespace
}  // namespace qv
