#include "media/codecpcm.h"

#include <algorithm>
#include <array>
#include <bit>

namespace qv {

namespace {

// mu-law magnitude code -> A-law magnitude code + 1.
constexpr uint8_t kUlawToAlaw[128] = {
    1,   1,   2,   2,   3,   3,   4,   4,   5,   5,   6,   6,   7,   7,   8,   8,
    9,   10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,
    25,  27,  29,  31,  33,  34,  35,  36,  37,  38,  39,  40,  41,  42,  43,  44,
    46,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,
    64,  65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,
    80,  82,  83,  84,  85,  86,  87,  88,  89,  90,  91,  92,  93,  94,  95,  96,
    97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
    113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128,
};

// A-law magnitude code -> mu-law magnitude code.
constexpr uint8_t kAlawToUlaw[128] = {
    1,   3,   5,   7,   9,   11,  13,  15,  16,  17,  18,  19,  20,  21,  22,  23,
    24,  25,  26,  27,  28,  29,  30,  31,  32,  32,  33,  33,  34,  34,  35,  35,
    36,  37,  38,  39,  40,  41,  42,  43,  44,  45,  46,  47,  48,  48,  49,  49,
    50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,  63,  64,  64,
    65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,  80,
    80,  81,  82,  83,  84,  85,  86,  87,  88,  89,  90,  91,  92,  93,  94,  95,
    96,  97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127,
};

// Position of the highest set bit of a byte, 0 for 0 and 1: the exponent of
// the biased encoder, looked up instead of searched.
constexpr std::array<uint8_t, 256> MakeExponentTable() {
  std::array<uint8_t, 256> table{};
  for (int i = 2; i < 256; ++i) table[i] = uint8_t(std::bit_width(unsigned(i)) - 1);
  return table;
}
constexpr std::array<uint8_t, 256> kExponent = MakeExponentTable();

constexpr int16_t UlawDecodeFormula(uint8_t code) {
  const int inv = uint8_t(~code);
  const int exponent = (inv >> 4) & 7;
  const int mantissa = inv & 0x0F;
  const int magnitude = 132 * ((1 << exponent) - 1) + (mantissa << (exponent + 3));
  return int16_t((inv & 0x80) ? -magnitude : magnitude);
}

constexpr uint8_t AlawToUlawFormula(uint8_t a) {
  if (a & 0x80) return uint8_t(0xFF ^ kAlawToUlaw[(a ^ 0xD5) & 0x7F]);
  return uint8_t(0x7F ^ kAlawToUlaw[(a ^ 0x55) & 0x7F]);
}

constexpr uint8_t UlawToAlawFormula(uint8_t u) {
  if (u & 0x80) return uint8_t(0xD5 ^ (kUlawToAlaw[(u ^ 0xFF) & 0x7F] - 1));
  return uint8_t(0x55 ^ (kUlawToAlaw[(u ^ 0x7F) & 0x7F] - 1));
}

// The per-code work of the decoders and of the law conversion is done once,
// at compile time, so the real-time path is one lookup per sample.
template <typename T, typename F>
constexpr std::array<T, 256> Tabulate(F f) {
  std::array<T, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = f(uint8_t(i));
  return table;
}
constexpr auto kUlawDecode = Tabulate<int16_t>(UlawDecodeFormula);
constexpr auto kAlawDecode =
    Tabulate<int16_t>([](uint8_t a) { return UlawDecodeFormula(AlawToUlawFormula(a)); });
constexpr auto kAlawOf = Tabulate<uint8_t>(UlawToAlawFormula);
constexpr auto kUlawOf = Tabulate<uint8_t>(AlawToUlawFormula);

constexpr uint8_t UlawEncodeFormula(int16_t sample) {
  int v = sample >> 2;  // arithmetic: a 14-bit value
  int mask = 0xFF;
  if (v < 0) {
    mask = 0x7F;
    v = -v;
  }
  if (v > 8159) v = 8159;
  v += 33;
  // First segment whose upper end (63, 127, ..., 8191) is >= v; 8 when none is.
  const int segment = std::bit_width(unsigned(v) >> 6);
  uint8_t code;
  if (segment >= 8) {
    code = uint8_t(0x7F ^ mask);
  } else {
    code = uint8_t(((segment << 4) | ((v >> (segment + 1)) & 0x0F)) ^ mask);
  }
  return code == 0 ? 0x02 : code;  // zero trap
}

constexpr uint8_t UlawEncodeBiasedFormula(int16_t sample) {
  int magnitude = sample;
  int sign = 0;
  if (magnitude < 0) {
    sign = 0x80;
    magnitude = -magnitude;
  }
  if (magnitude > 32635) magnitude = 32635;
  magnitude += 132;
  const int exponent = kExponent[(magnitude >> 7) & 0xFF];
  const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
  return uint8_t(~(sign | (exponent << 4) | mantissa));
}

// The encoders by table as well. PCMU depends only on the 14-bit value
// sample >> 2; PCMA (by way of the biased mu-law step) only on the sign and
// (clipped magnitude + 132) >> 3. 16 KB and 8 KB, filled at compile time.
constexpr std::array<uint8_t, 16384> MakeUlawEncodeTable() {
  std::array<uint8_t, 16384> table{};
  for (int v = -8192; v < 8192; ++v) table[size_t(v & 0x3FFF)] = UlawEncodeFormula(int16_t(v * 4));
  return table;
}
constexpr auto kUlawEncode = MakeUlawEncodeTable();

constexpr int kAlawSteps = ((32635 + 132) >> 3) + 1;  // 4096 per sign
constexpr std::array<uint8_t, 2 * kAlawSteps> MakeAlawEncodeTable() {
  std::array<uint8_t, 2 * kAlawSteps> table{};
  // Steps below 16 (magnitude + 132 < 128) never occur. Every magnitude of
  // one step codes alike, so the lowest one of each sign stands for all.
  for (int step = 132 >> 3; step < kAlawSteps; ++step) {
    const int lowest = 8 * step - 132;
    table[size_t(step)] = UlawToAlawFormula(UlawEncodeBiasedFormula(int16_t(std::max(0, lowest))));
    table[size_t(kAlawSteps + step)] =
        UlawToAlawFormula(UlawEncodeBiasedFormula(int16_t(-std::max(1, lowest))));
  }
  return table;
}
constexpr auto kAlawEncode = MakeAlawEncodeTable();

inline uint8_t UlawEncodeByTable(int16_t sample) {
  return kUlawEncode[size_t((sample >> 2) & 0x3FFF)];
}

inline uint16_t AlawEncodeIndex(int16_t sample) {
  const int sign = sample >> 15;  // 0 or -1, without a branch
  int magnitude = (sample ^ sign) - sign;
  magnitude = magnitude > 32635 ? 32635 : magnitude;
  return uint16_t((sign & kAlawSteps) + ((magnitude + 132) >> 3));
}

}  // namespace

int16_t UlawDecode(uint8_t code) { return kUlawDecode[code]; }
uint8_t UlawEncode(int16_t sample) { return UlawEncodeFormula(sample); }
uint8_t UlawEncodeBiased(int16_t sample) { return UlawEncodeBiasedFormula(sample); }
uint8_t AlawToUlaw(uint8_t alaw) { return kUlawOf[alaw]; }
uint8_t UlawToAlaw(uint8_t ulaw) { return kAlawOf[ulaw]; }
uint8_t AlawEncode(int16_t sample) { return kAlawOf[UlawEncodeBiasedFormula(sample)]; }
int16_t AlawDecode(uint8_t code) { return kAlawDecode[code]; }

int TCodecPCMU::Decode(const uint8_t* payload, int16_t* samples, int length) {
  if (length <= 0) return 0;
  for (int i = 0; i < length; ++i) samples[i] = kUlawDecode[payload[i]];
  return 2 * length;
}

int TCodecPCMU::Encode(const int16_t* frame, uint8_t* payload) {
  for (int i = 0; i < kFrameSamples; ++i) payload[i] = UlawEncodeByTable(frame[i]);
  return kFrameSamples;
}

int TCodecPCMA::Decode(const uint8_t* payload, int16_t* samples, int length) {
  if (length <= 0) return 0;
  for (int i = 0; i < length; ++i) samples[i] = kAlawDecode[payload[i]];
  return 2 * length;
}

int TCodecPCMA::Encode(const int16_t* frame, uint8_t* payload) {
  // Two passes: the index arithmetic has no lookups and vectorises, the
  // second pass is one load per sample.
  uint16_t index[kFrameSamples];
  for (int i = 0; i < kFrameSamples; ++i) index[i] = AlawEncodeIndex(frame[i]);
  for (int i = 0; i < kFrameSamples; ++i) payload[i] = kAlawEncode[index[i]];
  return kFrameSamples;
}

}  // namespace qv
