#include "media/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/audiosignals.h"

namespace qv {
namespace {

uint32_t Le32(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
         uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t Le16(std::string_view b, size_t at) {
  return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}

// The canonical 44-byte header of a mono 16-bit PCM file.
void ExpectPcmHeader(std::string_view wav, uint32_t rate, uint32_t dataBytes) {
  ASSERT_EQ(wav.size(), 44 + dataBytes);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32(wav, 4), 36 + dataBytes);
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(Le32(wav, 16), 16u);
  EXPECT_EQ(Le16(wav, 20), 1);  // PCM
  EXPECT_EQ(Le16(wav, 22), 1);  // mono
  EXPECT_EQ(Le32(wav, 24), rate);
  EXPECT_EQ(Le32(wav, 28), rate * 2);
  EXPECT_EQ(Le16(wav, 32), 2);
  EXPECT_EQ(Le16(wav, 34), 16);
  EXPECT_EQ(wav.substr(36, 4), "data");
  EXPECT_EQ(Le32(wav, 40), dataBytes);
}

std::vector<int16_t> Samples(std::string_view wav) {
  std::vector<int16_t> pcm((wav.size() - 44) / 2);
  std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
  return pcm;
}

TEST(Resources, ToneFilesHoldTheirRecipe) {
  for (int number = 1; number <= 12; ++number) {
    SCOPED_TRACE(number);
    const std::string_view wav = GetResource(number);
    ExpectPcmHeader(wav, 8000, 5600);
    const auto pcm = Samples(wav);
    EXPECT_EQ(pcm[0], 0);  // faded in from nothing
    int peak = 0;
    for (int n = 0; n < 2400; ++n) peak = std::max(peak, std::abs(int(pcm[size_t(n)])));
    EXPECT_GT(peak, 30000);  // two sines of 16383 that meet near their peaks
    EXPECT_LE(peak, 32766);
    // Fades: the edges stay below the level of the steady part.
    EXPECT_LT(test::Rms(&pcm[0], 32), 0.7 * test::Rms(&pcm[1000], 32 * 10));
    EXPECT_LT(test::Rms(&pcm[2368], 32), 0.7 * test::Rms(&pcm[1000], 32 * 10));
    for (int n = 2400; n < 2800; ++n) ASSERT_EQ(pcm[size_t(n)], 0) << n;
  }
}

TEST(Resources, RingIsTwoBurstsThenSilence) {
  const std::string_view wav = GetResource(kRingResource);
  ExpectPcmHeader(wav, 22050, 51661 * 2);
  const auto pcm = Samples(wav);
  const int burst = 11025, gap = 2205;
  const double loud = test::Rms(&pcm[2000], 7000);
  EXPECT_GT(loud, 3000);
  EXPECT_NEAR(test::Rms(&pcm[burst + gap + 2000], 7000), loud, 0.05 * loud);
  for (int n = burst + 50; n < burst + gap - 50; ++n) ASSERT_EQ(pcm[size_t(n)], 0) << n;
  for (size_t n = 2 * burst + gap + 50; n < pcm.size(); ++n) ASSERT_EQ(pcm[n], 0) << n;
  // Short fades: no full-scale step at the edges of a burst.
  EXPECT_LT(std::abs(pcm[0]), 100);
  EXPECT_LT(std::abs(pcm[burst - 1]), 300);
  const double f = test::DominantFrequency(&pcm[2000], 4096, 300, 700, 5, 22050);
  EXPECT_TRUE(std::abs(f - 440) <= 10 || std::abs(f - 480) <= 10) << f;
}

TEST(Resources, UnknownNumbersAreEmptyAndFilesAreInTheBuildTree) {
  for (int number : {0, -1, 14, 100}) {
    EXPECT_TRUE(GetResource(number).empty()) << number;
    EXPECT_TRUE(GetResourceName(number).empty()) << number;
  }
  EXPECT_EQ(GetResourceName(10), "dtmf_0.wav");
  EXPECT_EQ(GetResourceName(11), "dtmf_star.wav");
  EXPECT_EQ(GetResourceName(12), "dtmf_hash.wav");
  for (int number = 1; number <= 13; ++number) {
    const std::string path =
        std::string(QV_BINARY_DIR) + "/resources/" + std::string(GetResourceName(number));
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    std::stringstream bytes;
    bytes << file.rdbuf();
    EXPECT_EQ(bytes.str(), GetResource(number)) << path;
  }
}

}  // namespace
}  // namespace qv
