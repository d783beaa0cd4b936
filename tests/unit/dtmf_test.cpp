#include "media/dtmf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "media/resources.h"
#include "support/audiosignals.h"

namespace qv {
namespace {

constexpr double kPi = 3.14159265358979323846;

// 160 detector bytes holding the sum of sines with the given peak on the
// 8-bit scale (128 = full scale).
std::vector<uint8_t> Frame8(const std::vector<double>& frequencies, double peak) {
  std::vector<uint8_t> bytes(160);
  for (int n = 0; n < 160; ++n) {
    double v = 0;
    for (double f : frequencies) v += peak * std::sin(2 * kPi * f * n / 8000);
    bytes[size_t(n)] = uint8_t(std::lround(std::clamp(128 + v, 0.0, 255.0)));
  }
  return bytes;
}

std::vector<uint8_t> Detector(const int16_t* pcm) {
  std::vector<uint8_t> bytes(160);
  PcmToDetectorInput(pcm, bytes.data());
  return bytes;
}

TEST(DtmfDigits, EventCodesFollowTheDigitTable) {
  for (int code = 0; code < 16; ++code) EXPECT_EQ(DigitToEventCode(kDtmfDigits[code]), code);
  for (char other : {'a', 'E', ' ', '\0', 's', '+'}) {
    EXPECT_EQ(DigitToEventCode(other), kNoDtmfEvent) << int(other);
  }
}

TEST(DtmfDetector, SilenceHasNoDigitAndIsSilentAboveZero) {
  const std::vector<uint8_t> silence(160, 128);
  EXPECT_EQ(MaxBinPower(silence.data()), 0.0);
  EXPECT_EQ(DetectDigit(silence.data()), "");
  EXPECT_TRUE(IsSilent(silence.data(), 1));
  EXPECT_FALSE(IsSilent(silence.data(), 0));  // threshold 0 is never above the maximum
  EXPECT_FALSE(IsSilent(Frame8({697, 1209}, 50).data(), 0));
}

TEST(DtmfDetector, FindsEverySixteenPairAtEqualLevels) {
  const double rows[4] = {697, 770, 852, 941};
  const double columns[4] = {1209, 1336, 1477, 1633};
  const char* keys[4] = {"123A", "456B", "789C", "*0#D"};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      for (double peak : {20.0, 60.0}) {
        EXPECT_EQ(DetectDigit(Frame8({rows[r], columns[c]}, peak).data()),
                  std::string(1, keys[r][c]))
            << rows[r] << "+" << columns[c] << " Hz, peak " << peak;
      }
    }
  }
}

TEST(DtmfDetector, RejectsWhatIsNotOneDigit) {
  EXPECT_EQ(DetectDigit(Frame8({697, 1209}, 40).data()), "1");
  // A third tone of similar level makes three present bins.
  EXPECT_EQ(DetectDigit(Frame8({697, 1209, 2400}, 40).data()), "");
  // Two rows, two columns: no digit.
  EXPECT_EQ(DetectDigit(Frame8({697, 770}, 40).data()), "");
  EXPECT_EQ(DetectDigit(Frame8({1209, 1477}, 40).data()), "");
  // An interfering tone on a guard beside a column is still a guard.
  EXPECT_EQ(DetectDigit(Frame8({697, 1336, 1300}, 40).data()), "");
  EXPECT_EQ(DetectDigit(Frame8({941, 900, 1209}, 40).data()), "");
  // Too weak to count (maximum power below 100).
  EXPECT_EQ(DetectDigit(Frame8({697, 1209}, 5).data()), "");
}

TEST(DtmfDetector, SingleToneNear425HzIsReportedAsB) {
  const auto strong = Frame8({425}, 100);
  EXPECT_GT(MaxBinPower(strong.data()), 2000.0);
  EXPECT_EQ(DetectDigit(strong.data()), "B");
  const auto weak = Frame8({425}, 40);
  EXPECT_LT(MaxBinPower(weak.data()), 2000.0);
  EXPECT_EQ(DetectDigit(weak.data()), "");
  // 433 Hz leaks into the 466.7 Hz guard as well: two bins, not a digit.
  EXPECT_EQ(DetectDigit(Frame8({433}, 100).data()), "");
}

TEST(DtmfDetector, PcmMappingKeepsTheTopByte) {
  const int16_t pcm[6] = {-32768, -257, -1, 0, 255, 32767};
  uint8_t frame[160] = {};
  std::vector<int16_t> padded(160, 0);
  std::memcpy(padded.data(), pcm, sizeof pcm);
  PcmToDetectorInput(padded.data(), frame);
  const uint8_t expected[6] = {0, 126, 127, 128, 128, 255};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(frame[i], expected[i]) << pcm[i];
}

TEST(DtmfDetector, FindsTheDigitInEveryFrameOfEachToneResource) {
  const char digits[] = "1234567890*#";
  for (int number = 1; number <= 12; ++number) {
    const std::string_view wav = GetResource(number);
    ASSERT_EQ(wav.size(), 5644u);
    std::vector<int16_t> pcm(2800);
    std::memcpy(pcm.data(), wav.data() + 44, 5600);
    for (int frame = 0; frame < 15; ++frame) {  // the 300 ms of tone
      EXPECT_EQ(DetectDigit(Detector(&pcm[size_t(frame) * 160]).data()),
                std::string(1, digits[number - 1]))
          << "resource " << number << ", frame " << frame;
    }
    EXPECT_TRUE(IsSilent(Detector(&pcm[2400]).data(), 1));  // the 50 ms pause
  }
}

// The silence watch runs on the same detector input as the digits. These are
// the largest bin powers it sees at the default threshold of 500: a lot of
// head room for digital silence and line noise, but speech-level audio
// (-30 to -20 dBFS) stays far below 500 as well, so with this mapping only
// sound within a few dB of full scale counts as voice.
TEST(DtmfDetector, SilenceThresholdFiguresForTheDetectorMapping) {
  struct Case {
    const char* name;
    std::vector<int16_t> pcm;
  };
  const int n = 8000;
  std::vector<Case> cases = {
      {"digital silence", std::vector<int16_t>(n, 0)},
      {"line noise -60 dBFS", test::Noise(test::RmsForDbFs(-60), n, 3)},
      {"line noise -50 dBFS", test::Noise(test::RmsForDbFs(-50), n, 4)},
      {"speech-like -30 dBFS", test::SpeechLike(test::RmsForDbFs(-30), n, 5)},
      {"speech-like -20 dBFS", test::SpeechLike(test::RmsForDbFs(-20), n, 6)},
      {"noise -20 dBFS", test::Noise(test::RmsForDbFs(-20), n, 7)},
      {"tones 700+1200 Hz -20 dBFS", test::Sines({700, 1200}, 0.1 * 32767 / std::sqrt(2.0), n)},
      {"tones 700+1200 Hz -10 dBFS", test::Sines({700, 1200}, 0.316 * 32767 / std::sqrt(2.0), n)},
      {"speech-like -3 dBFS", test::SpeechLike(test::RmsForDbFs(-3), n, 8)},
  };
  std::vector<double> loudest;
  for (const Case& c : cases) {
    double max = 0;
    int silent = 0;
    for (int f = 0; f < n / 160; ++f) {
      const auto frame = Detector(&c.pcm[size_t(f) * 160]);
      max = std::max(max, MaxBinPower(frame.data()));
      silent += IsSilent(frame.data(), 500) ? 1 : 0;
    }
    std::cout << "  " << c.name << ": largest bin power " << max << ", silent at 500 in "
              << silent << " of " << n / 160 << " frames\n";
    loudest.push_back(max);
  }
  EXPECT_EQ(loudest[0], 0.0);
  EXPECT_LT(loudest[1], 1.0);
  EXPECT_LT(loudest[2], 1.0);
  // Speech-level audio is louder than line noise on this scale...
  EXPECT_GT(loudest[3], 2 * loudest[2]);
  EXPECT_GT(loudest[4], loudest[3]);
  // ...but the default threshold sits far above it.
  for (size_t i = 3; i <= 7; ++i) EXPECT_LT(loudest[i], 500.0) << cases[i].name;
  EXPECT_GT(loudest[8], 500.0);
}

}  // namespace
}  // namespace qv
