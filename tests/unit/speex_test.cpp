// Speex over the run-time loaded library: coding with the library present,
// and a process in which it is absent. The library is looked up once per
// process, so absence is tested in child processes that re-execute this test
// binary (gtest's "threadsafe" death-test style) with QUORVELLE_SPEEX_LIBRARY
// pointing elsewhere; the parent's own lookup is untouched.
#include "media/codecspeex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <random>
#include <set>
#include <vector>

#include "media/codecs.h"
#include "media/speexlib.h"
#include "support/audiosignals.h"

namespace qv {
namespace {

std::vector<uint8_t> EncodeFrame(IAudioCodec& codec, const int16_t* pcm) {
  std::vector<uint8_t> out(1024);
  out.resize(size_t(codec.Encode(pcm, out.data())));
  return out;
}

std::vector<int16_t> DecodeFrame(IAudioCodec& codec, const std::vector<uint8_t>& payload) {
  std::vector<int16_t> pcm(512);
  EXPECT_EQ(codec.Decode(payload.data(), pcm.data(), int(payload.size())), 320);
  pcm.resize(160);
  return pcm;
}

int ChildSeesSpeex(const char* library) {
  setenv("QUORVELLE_SPEEX_LIBRARY", library, 1);
  const bool available = SpeexAvailable();
  const bool created = bool(CreateCodec(110));
  return available == created ? (available ? 1 : 0) : 2;
}

std::string LoadedSpeexPath() {
  if (!SpeexAvailable()) return {};
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const auto slash = line.find('/');
    if (slash != std::string::npos && line.find("libspeex.so", slash) != std::string::npos) {
      return line.substr(slash);
    }
  }
  return {};
}

TEST(SpeexAbsenceDeathTest, NoLibraryMeansNoPayloadType110) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(ChildSeesSpeex("libquorvelle-no-such-speex.so.1")),
              testing::ExitedWithCode(0), "");
  // A library that is there but lacks the entry points counts as absent.
  EXPECT_EXIT(std::exit(ChildSeesSpeex("libgsm.so.1")), testing::ExitedWithCode(0), "");
  // The variable also takes a path: the one this process loaded by name.
  const std::string path = LoadedSpeexPath();
  if (!path.empty()) {
    EXPECT_EXIT(std::exit(ChildSeesSpeex(path.c_str())), testing::ExitedWithCode(1), "");
  }
}

class SpeexPresent : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(SpeexAvailable()) << "libspeex.so.1 is needed (scripts/install-deps.sh installs it)";
  }
};

TEST_F(SpeexPresent, FramesHaveOneSizeAndATonePassesThrough) {
  const IAudioCodecPtr encoder = CreateCodec(110);
  const IAudioCodecPtr decoder = CreateCodec(110);
  ASSERT_TRUE(encoder && decoder);
  EXPECT_EQ(encoder->GetPayloadType(), 110);
  EXPECT_EQ(encoder->GetFrameSize(), 160);
  auto& speex = dynamic_cast<TCodecSpeex&>(*encoder);
  EXPECT_EQ(speex.EncoderFrameSize(), 160);
  EXPECT_EQ(speex.DecoderFrameSize(), 160);

  const auto tone = test::Sine(700, 10000, 160 * 25);
  const auto speech = test::SpeechLike(3000, 160 * 25, 4);
  std::set<size_t> sizes;
  std::vector<int16_t> decoded;
  for (int f = 0; f < 25; ++f) {
    const auto payload = EncodeFrame(*encoder, &tone[size_t(f) * 160]);
    sizes.insert(payload.size());
    const auto pcm = DecodeFrame(*decoder, payload);
    decoded.insert(decoded.end(), pcm.begin(), pcm.end());
    sizes.insert(EncodeFrame(*CreateCodec(110), &speech[size_t(f) * 160]).size());
  }
  // Quality 10 without variable bit rate: 492 bits, 62 bytes, every frame.
  EXPECT_EQ(sizes, std::set<size_t>{62});
  const int skip = 800, count = int(decoded.size()) - skip;
  EXPECT_NEAR(test::DominantFrequency(&decoded[skip], count, 100, 3800), 700, 10);
  EXPECT_NEAR(test::Rms(&decoded[skip], count), test::Rms(&tone[skip], count),
              0.3 * test::Rms(&tone[skip], count));
}

// Random bytes never decode past the receiving path's 512 samples: whole
// frames, at most three of them.
TEST_F(SpeexPresent, AnyPacketDecodesToWholeFramesWithinTheDecodeArea) {
  const IAudioCodecPtr codec = CreateCodec(110);
  std::mt19937 rng(3);
  for (int length : {0, 1, 10, 62, 63, 200, 1024}) {
    for (int round = 0; round < 5; ++round) {
      std::vector<uint8_t> payload(static_cast<size_t>(length));
      for (auto& b : payload) b = uint8_t(rng());
      std::vector<int16_t> pcm(512 + 16, 0x5555);
      const int bytes = codec->Decode(payload.data(), pcm.data(), length);
      EXPECT_TRUE(bytes == 320 || bytes == 640 || bytes == 960) << length << ": " << bytes;
      EXPECT_EQ(pcm[512], 0x5555);
    }
  }
}

// A packet of several frames, bit after bit as one encoder writes them (40 or
// 60 ms packets), plays them all, each as a decoder fed them one by one would.
TEST_F(SpeexPresent, PacketsOfSeveralFramesPlayEveryFrame) {
  const TSpeexApi& api = *SpeexApi();
  void* encoder = api.encoder_init(api.lib_get_mode(SPEEX_MODEID_NB));
  spx_int32_t quality = 10;
  api.encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
  SpeexBits bits;
  api.bits_init(&bits);
  const auto speech = test::SpeechLike(3000, 160 * 3, 8);
  float in[160];
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 160; ++i) in[i] = speech[size_t(f * 160 + i)];
    api.encode(encoder, in, &bits);
  }
  std::vector<uint8_t> packet(size_t(api.bits_nbytes(&bits)));
  api.bits_write(&bits, reinterpret_cast<char*>(packet.data()), int(packet.size()));
  api.bits_destroy(&bits);
  api.encoder_destroy(encoder);
  EXPECT_EQ(packet.size(), 185u) << "three frames of 492 bits, one byte for the tail";

  const IAudioCodecPtr together = CreateCodec(110);
  std::vector<int16_t> pcm(512);
  ASSERT_EQ(together->Decode(packet.data(), pcm.data(), int(packet.size())), 960);
  EXPECT_GT(test::Rms(&pcm[320], 160), 300) << "the third frame is speech, not silence";
}

TEST_F(SpeexPresent, LoudInputClipsInsteadOfWrappingRound) {
  // A full-scale square wave makes the decoder overshoot 16 bits. A sample
  // that wrapped round would stand alone with the wrong sign in the middle of
  // a loud half-period.
  std::vector<int16_t> square(160 * 25);
  for (size_t n = 0; n < square.size(); ++n) square[n] = (n / 10) % 2 ? -32768 : 32767;
  const IAudioCodecPtr encoder = CreateCodec(110);
  const IAudioCodecPtr decoder = CreateCodec(110);
  int clipped = 0;
  for (int f = 0; f < 25; ++f) {
    const auto pcm = DecodeFrame(*decoder, EncodeFrame(*encoder, &square[size_t(f) * 160]));
    for (size_t i = 1; i + 1 < pcm.size(); ++i) {
      const bool loudAround = (pcm[i - 1] > 16384 && pcm[i + 1] > 16384) ||
                              (pcm[i - 1] < -16384 && pcm[i + 1] < -16384);
      const bool flipped = (pcm[i] > 0) != (pcm[i - 1] > 0) && std::abs(pcm[i]) > 16384;
      ASSERT_FALSE(loudAround && flipped) << "frame " << f << " sample " << i;
    }
    for (int16_t s : pcm) clipped += (s == 32767 || s == -32768);
  }
  EXPECT_GT(clipped, 0);
}

}  // namespace
}  // namespace qv
