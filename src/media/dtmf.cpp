#include "media/dtmf.h"

#include <cstring>

namespace qv {

const std::array<double, kGoertzelBins> kGoertzelFrequencies = {
    366.7, 433.3, 466.7, 633.3, 700.0,  766.7,  866.7,  900.0,  933.3,
    1100.0, 1200.0, 1300.0, 1333.3, 1476.0, 1633.3, 1700.0, 2400.0, 2600.0};

// 2 cos(2 pi f / 8000), kept to six decimals.
const std::array<double, kGoertzelBins> kGoertzelCoefficients = {
    1.917639, 1.885283, 1.867161, 1.757634, 1.705280, 1.648252,
    1.554292, 1.520812, 1.486290, 1.298896, 1.175571, 1.044997,
    1.000000, 0.800000, 0.568031, 0.466891, -0.618034, -0.907981};

namespace {

constexpr int kSingleToneBin = 1;
constexpr int kSingleToneEvent = 13;  // the single tone is reported as "B"
constexpr double kMinimumPower = 100.0;
constexpr double kSingleToneMinimum = 2000.0;

struct TPair {
  int row;
  int column;
  int event;
};

// Two present bins: the first pair that matches wins.
constexpr TPair kPairs[] = {
    {4, 10, 1},  {4, 12, 2},  {4, 13, 3},  {5, 10, 4},  {5, 12, 5},  {5, 13, 6},
    {6, 10, 7},  {6, 12, 8},  {6, 13, 9},  {8, 10, 10}, {8, 12, 0},  {8, 13, 11},
    {4, 14, 12}, {5, 14, 13}, {6, 14, 14}, {8, 14, 15},
};

// A 160-sample frame resolves 50 Hz, so a guard bin 33 Hz beside a row or
// column bin lies in the main lobe of that bin's tone: a clean 1336 Hz tone
// puts 10 to 20 % of its power into the 1300 Hz guard, a 941 Hz tone that
// fades in or out 12 % into the 900 Hz guard. Counted as tones of their own,
// they would hide "2", "5", "8" and "0" almost always, and "*" and "#" at
// their edges. Such a guard counts only when it carries more than half the
// power of the present row or column bin beside it, which a separate
// interfering tone does.
struct TLobeGuard {
  int guard;
  int tone;
};
constexpr TLobeGuard kLobeGuards[] = {{7, 6}, {7, 8}, {11, 12}};
constexpr double kLobeGuardShare = 0.5;

double MaxOf(const std::array<double, kGoertzelBins>& powers) {
  double max = 0.0;
  for (double p : powers) {
    if (p > max) max = p;
  }
  return max;
}

int DetectEvent(const uint8_t* samples160) {
  const auto powers = GoertzelBank(samples160);
  const double max = MaxOf(powers);
  if (max < kMinimumPower) return 27;
  const double limit = 0.1 * max;
  bool present[kGoertzelBins];
  int count = 0;
  for (int k = 0; k < kGoertzelBins; ++k) present[k] = powers[k] > limit;
  for (const TLobeGuard& g : kLobeGuards) {
    if (present[g.tone] && powers[g.guard] <= kLobeGuardShare * powers[g.tone]) {
      present[g.guard] = false;
    }
  }
  for (bool p : present) count += p ? 1 : 0;
  if (count == 1 && max > kSingleToneMinimum && present[kSingleToneBin]) return kSingleToneEvent;
  if (count == 2) {
    for (const TPair& pair : kPairs) {
      if (present[pair.row] && present[pair.column]) return pair.event;
    }
  }
  return -1;
}

}  // namespace

bool DtmfFrequencies(int code, double& low, double& high) {
  static constexpr double kRows[4] = {697, 770, 852, 941};
  static constexpr double kColumns[4] = {1209, 1336, 1477, 1633};
  // Keypad positions of the event codes 0-15: "0" sits under "8", "*" and "#"
  // beside it, "A"-"D" in the fourth column.
  static constexpr int kRow[16] = {3, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 0, 1, 2, 3};
  static constexpr int kColumn[16] = {1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 2, 3, 3, 3, 3};
  if (code < 0 || code > 15) return false;
  low = kRows[kRow[code]];
  high = kColumns[kColumn[code]];
  return true;
}

int DigitToEventCode(char digit) {
  const char* found = digit ? std::strchr(kDtmfDigits, digit) : nullptr;
  return found ? int(found - kDtmfDigits) : kNoDtmfEvent;
}

std::array<double, kGoertzelBins> GoertzelBank(const uint8_t* samples160) {
  double s1[kGoertzelBins] = {};
  double s2[kGoertzelBins] = {};
  for (int n = 0; n < kDetectorSamples; ++n) {
    const double x = (double(samples160[n]) - 128.0) / 128.0;
    for (int k = 0; k < kGoertzelBins; ++k) {
      const double s0 = kGoertzelCoefficients[k] * s1[k] + x - s2[k];
      s2[k] = s1[k];
      s1[k] = s0;
    }
  }
  std::array<double, kGoertzelBins> powers{};
  for (int k = 0; k < kGoertzelBins; ++k) {
    powers[k] = s1[k] * s1[k] + s2[k] * s2[k] - kGoertzelCoefficients[k] * s1[k] * s2[k];
  }
  return powers;
}

double MaxBinPower(const uint8_t* samples160) { return MaxOf(GoertzelBank(samples160)); }

std::string DetectDigit(const uint8_t* samples160) {
  const int event = DetectEvent(samples160);
  if (event < 0 || event > 15) return {};
  return std::string(1, kDtmfDigits[event]);
}

bool IsSilent(const uint8_t* samples160, int threshold) {
  return double(threshold) > MaxBinPower(samples160);
}

void PcmToDetectorInput(const int16_t* samples, uint8_t* out160) {
  for (int i = 0; i < kDetectorSamples; ++i) out160[i] = uint8_t((samples[i] >> 8) + 128);
}

}  // namespace qv
